#!/usr/bin/env bash
# Usage: scripts/sanitize.sh [PYTEST ARGS...]
#
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer
# (g++): the core's GoogleTest suite under CTest in build/asan, with leak
# checks on, then the extension built with the same flags into .venv-asan
# and the Python suite run against it in CPython 3.13 with the ASan runtime
# preloaded. Fails on any sanitizer report.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_system_packages
install_browser

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

BUILD="$ROOT/build/asan"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DCORVALIND_BUILD_TESTS=ON -DCORVALIND_BUILD_EXTENSION=OFF -DCORVALIND_SANITIZE=ON >/dev/null
ASAN_OPTIONS="detect_leaks=1" cmake --build "$BUILD" -j"$(nproc)"
ASAN_OPTIONS="detect_leaks=1" ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"

ASAN_VENV="$ROOT/.venv-asan"
if [ ! -x "$ASAN_VENV/bin/python" ]; then
  "$(find_python)" -m venv "$ASAN_VENV"
fi
mapfile -t requirements < <(package_requirements "$ASAN_VENV/bin/python")
"$ASAN_VENV/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "${requirements[@]}"
"$ASAN_VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
  -C cmake.build-type=RelWithDebInfo -C cmake.define.CORVALIND_SANITIZE=ON -C cmake.define.CMAKE_CXX_COMPILER=g++ \
  -C build-dir="$ROOT/build/asan-extension" "$ROOT"

# CPython is not built with ASan, so the runtime must be loaded first, and
# libstdc++ with it: ASan finds the real __cxa_throw only in libraries
# present at start. The interpreter's own allocations go through malloc so
# ASan sees them. Leak checks stay off: CPython does not free everything at
# exit. pytest captures at the sys level only, so a report reaches the
# terminal even when it ends the process.
cd "$ROOT"
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc ASAN_OPTIONS="detect_leaks=0" \
  "$ASAN_VENV/bin/python" -m pytest -p no:cacheprovider --capture=sys tests/python "$@"
