#!/usr/bin/env bash
# Runs the Python suite on a free-threaded CPython 3.13 (built from source
# once and cached, as no such interpreter is packaged for Debian 12), then
# the thread tests once more with the GIL forced off. With --debug it runs
# the suite on a debug build (--with-pydebug) of the default interpreter
# instead, whose exact sys.gettotalrefcount the leak tests check (on a
# free-threaded debug build that total drifts by a few references).
# Extra arguments go to pytest.
#
#   scripts/freethreaded.sh [--debug] [pytest arguments...]
#
# The CPython source comes from Debian 13's (trixie) archive as a source
# package; the cache lives outside the repository (CORVALIND_CPYTHON_CACHE,
# default ~/.cache/corvalind-cpython). Not part of CI: the first run builds
# an interpreter, which takes a while.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

CACHE="${CORVALIND_CPYTHON_CACHE:-$HOME/.cache/corvalind-cpython}"
variant=ft
configure_flags=(--disable-gil)
if [ "${1:-}" = "--debug" ]; then
  shift
  variant=debug
  configure_flags=(--with-pydebug)
fi
PREFIX="$CACHE/$variant"
PYTHON="$PREFIX/bin/python3.13"
TEST_VENV="$CACHE/venv-$variant"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian's compiler and the libraries CPython's optional modules link to
# (ssl, zlib, ctypes, bz2, lzma, sqlite3, readline, uuid, curses).
install_build_dependencies() {
  local wanted=(build-essential dpkg-dev pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
    libsqlite3-dev libreadline-dev uuid-dev libncurses-dev)
  local missing=()
  local package
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Source lines for trixie on the host the machine's own apt sources use;
# only deb-src, so nothing installed changes suite.
add_trixie_sources() {
  local list=/etc/apt/sources.list.d/corvalind-trixie-src.sources
  [ -f "$list" ] && return
  local host
  host="$(grep -rhoE '^(URIs:|deb) +https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list \
    2>/dev/null | head -n1 | grep -oE 'https?://[^ ]+' || true)"
  host="${host:-http://deb.debian.org/debian}"
  as_root tee "$list" >/dev/null <<EOF
Types: deb-src
URIs: ${host%/}
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  as_root apt-get update -qq
}

# The upstream tree of Debian's python3.13 source package, without Debian's
# patches (they adapt the install layout to Debian's, not wanted here).
SOURCE_DIR="$CACHE/src"
fetch_source() {
  [ -x "$SOURCE_DIR/configure" ] && return
  add_trixie_sources
  mkdir -p "$CACHE/download"
  (cd "$CACHE/download" && apt-get source --download-only python3.13 >/dev/null)
  rm -rf "$SOURCE_DIR"
  dpkg-source --skip-patches -x "$(ls "$CACHE"/download/python3.13_*.dsc | tail -n1)" "$SOURCE_DIR" >/dev/null
}

build_interpreter() {
  [ -x "$PYTHON" ] && return
  install_build_dependencies
  fetch_source
  local build_dir="$CACHE/build-$variant"
  rm -rf "$build_dir" "$PREFIX"
  mkdir -p "$build_dir"
  (
    cd "$build_dir"
    "$SOURCE_DIR/configure" --prefix="$PREFIX" --disable-test-modules "${configure_flags[@]}" >configure.log
    make -j2 >make.log 2>&1
    make install >install.log 2>&1
  )
}

# A venv of that interpreter holding the build tools, the package's
# requirements and test tools, numpy where a wheel exists (the numpy tests
# skip otherwise) and the package itself, built in a directory of its own.
install_into_venv() {
  [ -x "$TEST_VENV/bin/python" ] || "$PYTHON" -m venv "$TEST_VENV"
  # -W ignore: a debug interpreter shows pip's own ResourceWarnings.
  local pip=("$TEST_VENV/bin/python" -W ignore -m pip install -q --disable-pip-version-check)
  "${pip[@]}" "scikit-build-core>=0.10" pytest
  # Each on its own: some have no build for this interpreter, and the tests
  # that need those fail or skip.
  local requirement
  while read -r requirement; do
    "${pip[@]}" --prefer-binary "$requirement" || echo "$requirement: not installable here" >&2
  done < <(package_requirements "$TEST_VENV/bin/python" | grep -v -e '^numpy' -e '^pytest')
  "${pip[@]}" --only-binary=:all: numpy || echo "numpy: no wheel for this interpreter; its tests will skip" >&2
  "${pip[@]}" --no-build-isolation --force-reinstall --no-deps \
    --config-settings=build-dir="$CACHE/build-module-$variant" "$ROOT"
}

build_interpreter
install_into_venv
"$TEST_VENV/bin/python" -c 'import sys, sysconfig; print(sys.version, "| Py_GIL_DISABLED =",
  sysconfig.get_config_var("Py_GIL_DISABLED"), "| debug =", hasattr(sys, "gettotalrefcount"))'
cd "$ROOT"
status=0
"$TEST_VENV/bin/python" -m pytest tests/python "$@" || status=$?
if [ "$variant" = ft ]; then
  # Truly parallel calls: the GIL stays off although the module asks for it.
  PYTHON_GIL=0 "$TEST_VENV/bin/python" -m pytest tests/python/test_threads.py tests/python/test_first_query.py "$@" || status=$?
fi
exit "$status"
