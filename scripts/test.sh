#!/usr/bin/env bash
# Builds everything and runs every test: ruff over the Python sources and
# mypy --strict over the package (both configured in pyproject.toml), the
# core's GoogleTest suite under CTest, then the Python suite with pytest
# against the installed package.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_system_packages
install_browser
install_package

(cd "$ROOT" && "$VENV/bin/ruff" check python tests && "$VENV/bin/python" -m mypy)

cmake -S "$ROOT" -B "$ROOT/build/tests" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVALIND_BUILD_TESTS=ON -DCORVALIND_BUILD_EXTENSION=OFF >/dev/null
cmake --build "$ROOT/build/tests" -j"$(nproc)"
ctest --test-dir "$ROOT/build/tests" --output-on-failure -j"$(nproc)"

cd "$ROOT"
"$VENV/bin/python" -m pytest tests/python "$@"
