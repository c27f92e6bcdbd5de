#!/usr/bin/env bash
# Builds and installs the package when its sources changed since the last
# install (only the compiler and CMake are needed, not the test tools), then
# runs the demo: a search box over the titles shipped in demo/ (titles ->
# build_from_titles -> save/load -> search with misspelt and half-typed
# words -> suggest), then the same through the corvalind command line, then
# the raw methods underneath on a trie built from (term, video, count)
# records.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_package_if_stale
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
"$VENV/bin/python" "$ROOT/demo/search_demo.py" --titles "$WORK/titles.tsv"

run() {
  echo "\$ $*"
  "$VENV/bin/$@"
}
echo
echo "The command line, on the same titles (corvalind --help for more):"
cd "$WORK"
run corvalind build --titles titles.tsv -o catalogue.cvd
run corvalind search catalogue.cvd "temporry directry" --limit 3
run corvalind suggest catalogue.cvd recieve --limit 3
printf 'serialze json\nrecieve socekt\ncompress gzi\n' >queries.txt
echo "\$ corvalind search catalogue.cvd --limit 1 < queries.txt"
"$VENV/bin/corvalind" search catalogue.cvd --limit 1 <queries.txt

echo
echo "The raw methods underneath, on a trie built from (term, video id, count) records:"
"$VENV/bin/python" "$ROOT/demo/demo.py" --records "$WORK/records.tsv" --query recieve --query socekt
run corvalind build records.tsv -o records.cvd --top-n 20
run corvalind query records.cvd recieve socekt --max-dist 2 --limit 3
