#!/usr/bin/env bash
# Builds and installs the package, installs the libraries it is compared
# with, then runs the comparison; options go to bench/compare.py
# (--quick, --out DIR, --seed N, --with-baseline: adds bench/walk_baseline.cc,
# the C++ comparison with a deletion dictionary, on the same wordfreq terms).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_system_packages
install_package
"$VENV/bin/python" -m pip install -q --disable-pip-version-check -r "$ROOT/bench/requirements.txt"
"$VENV/bin/python" "$ROOT/bench/compare.py" "$@"
