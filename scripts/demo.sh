#!/usr/bin/env bash
# Builds and installs the package when its sources changed since the last
# install (only the compiler and CMake are needed, not the test tools), then
# runs the demo: a trie built from the titles shipped in demo/, saved to a
# snapshot file, loaded and queried with typos; then the same records through
# the corvalind command line.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_package_if_stale
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
"$VENV/bin/python" "$ROOT/demo/demo.py" --records "$WORK/records.tsv" "$@"

run() {
  echo "\$ $*"
  "$VENV/bin/$@"
}
echo
echo "The command line, on the same records (corvalind --help for more):"
cd "$WORK"
run corvalind build records.tsv -o catalogue.cvd --top-n 20
run corvalind info catalogue.cvd
run corvalind query catalogue.cvd recieve socekt --max-dist 2 --limit 3
run corvalind query catalogue.cvd socekt --max-dist 2 --videos --limit 3
