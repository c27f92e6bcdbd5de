# Sourced by the other scripts: finds CPython 3.13, installs what the build
# and the tests need, and builds and installs the package into .venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python() {
  if [ -x /usr/bin/python3.13 ]; then
    echo /usr/bin/python3.13
  elif command -v pyenv >/dev/null 2>&1 && PYENV_VERSION=3.13.0 pyenv which python3.13 >/dev/null 2>&1; then
    PYENV_VERSION=3.13.0 pyenv which python3.13
  elif command -v python3.13 >/dev/null 2>&1; then
    command -v python3.13
  else
    echo "CPython 3.13 not found (looked for /usr/bin/python3.13 and pyenv's 3.13.0)" >&2
    return 1
  fi
}

# Debian packages: a C++ compiler, CMake and GoogleTest for the core's tests.
install_system_packages() {
  local missing=()
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# The package's requirements with those of its test and dask extras, one a
# line, read from pyproject.toml.
package_requirements() {
  "$1" - "$ROOT/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as file:
    project = tomllib.load(file)["project"]
extras = project["optional-dependencies"]
print("\n".join(project["dependencies"] + extras["test"] + extras["dask"]))
PY
}

# .venv with the build backend, then the package with the test tools.
install_package() {
  local python
  python="$(find_python)"
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf "$VENV"
    "$python" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10"
  # The package with its test tools and every optional engine (pyproject.toml's extras).
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$ROOT[test,dask]"
}
