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

# Installs the Debian packages named, if any.
install_debian_packages() {
  [ $# -gt 0 ] || return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

# The Debian packages of the C++ compiler and CMake that are missing, one a line.
missing_build_tools() {
  command -v g++ >/dev/null 2>&1 || echo g++
  command -v cmake >/dev/null 2>&1 || echo cmake
}

# What building the extension needs: a C++ compiler and CMake.
install_build_tools() {
  local missing
  mapfile -t missing < <(missing_build_tools)
  install_debian_packages "${missing[@]}"
}

# The build tools and GoogleTest for the core's tests.
install_system_packages() {
  local missing
  mapfile -t missing < <(missing_build_tools)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  install_debian_packages "${missing[@]}"
}

# The headless browser and its driver that the preview page's test drives.
install_browser() {
  local missing=()
  command -v chromium >/dev/null 2>&1 || missing+=(chromium)
  command -v chromedriver >/dev/null 2>&1 || missing+=(chromium-driver)
  install_debian_packages "${missing[@]}"
}

# The package's requirements with those of its test, dask and serve extras,
# one a line, read from pyproject.toml.
package_requirements() {
  "$1" - "$ROOT/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as file:
    project = tomllib.load(file)["project"]
extras = project["optional-dependencies"]
print("\n".join(project["dependencies"] + extras["test"] + extras["dask"] + extras["serve"]))
PY
}

# .venv from CPython 3.13 with the build backend.
prepare_venv() {
  local python
  python="$(find_python)"
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    rm -rf "$VENV"
    "$python" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10"
}

# Digest of every file the installed package is built from; an install
# records it in $SOURCES_STAMP.
SOURCES_STAMP="$VENV/corvalind-sources.sha256"
source_digest() {
  (cd "$ROOT" && find CMakeLists.txt pyproject.toml src python -type f ! -name '*.pyc' -print0 |
    sort -z | xargs -0 sha256sum) | sha256sum | cut -d' ' -f1
}

# Installs the package with pip arguments "$@" into .venv and records the
# digest of the sources it was built from.
pip_install_package() {
  local digest
  digest="$(source_digest)"
  rm -f "$SOURCES_STAMP"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$@"
  echo "$digest" >"$SOURCES_STAMP"
}

# .venv with the package, its test tools and every optional engine
# (pyproject.toml's extras), always built afresh.
install_package() {
  prepare_venv
  pip_install_package "$ROOT[test,dask,serve]"
}

# .venv with the package and its own requirements only, unless the package
# installed there was built from the sources as they are now.
install_package_if_stale() {
  if [ -f "$SOURCES_STAMP" ] && [ "$(cat "$SOURCES_STAMP")" = "$(source_digest)" ] &&
    "$VENV/bin/python" -c 'import _corvalind, corvalind' 2>/dev/null; then
    return 0
  fi
  install_build_tools
  prepare_venv
  pip_install_package "$ROOT"
}
