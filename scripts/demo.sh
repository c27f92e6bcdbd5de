#!/usr/bin/env bash
# Builds and installs the package, then runs the demo: a trie built from the
# titles shipped in demo/, snapshotted, restored and queried with typos.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_system_packages
install_package
"$VENV/bin/python" "$ROOT/demo/demo.py" "$@"
