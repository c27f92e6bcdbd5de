#!/usr/bin/env bash
# Mutation check of the typo search: applies each mutant below to a copy of
# the sources (the worktree is never touched), builds the copy, runs the
# fast matcher tests on it, and prints which suites kill each mutant.
#
#   scripts/mutants.sh               every mutant
#   scripts/mutants.sh run-sort ...  the mutants named
#
# Exits 1 when a mutant survives every suite, and 2 when the unmutated copy
# fails a suite or a mutant no longer applies or compiles (the line it edits
# changed: edit its entry so that it makes the same fault in the new code).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

FILE=src/prefix/matcher/forward_backward.cc

# name | file | text that must occur exactly once | its replacement
MUTANTS=(
  # Pruned label runs visited in the order of their labels, not of their edges.
  "run-sort|$FILE|std::sort(level.runs.begin(),|if (false) std::sort(level.runs.begin(),"
  # Only the first of several nodes with the same path string reported.
  "duplicate-paths|$FILE|hits.push_back({index.preorder[it->second], it->second, distance, term});|;"
  # The first row without its cell K: no term that starts K edits in.
  "first-row|$FILE|j <= K && j <= m|j < K && j <= m"
  # The exact suffix of the query as a term of its own, never reported.
  "whole-suffix|$FILE|if (p - 1 <= K && reverse.|if (false && reverse."
  # The bisection for one label skips the node's first child.
  "bisect-lower-bound|$FILE|std::partition_point(edges + range.begin, edges + range.end,|std::partition_point(edges + range.begin + 1, edges + range.end,"
  # Backward hits sorted last rank first before the merge.
  "backward-order|$FILE|std::sort(backward.begin(), backward.end(),|std::sort(backward.rbegin(), backward.rend(),"
)

# The fast tests of the search: GoogleTest executables (tests/cpp/NAME.cc)
# and pytest files.
CPP_SUITES=(matcher_test wide_alphabet_test)
PY_SUITES=(tests/python/test_queries.py tests/python/test_wide_alphabet.py)
SUITE_TIMEOUT=600  # seconds; a mutant that makes a suite hang is killed by it

install_system_packages
if ! "$VENV/bin/python" -c 'import pytest, _corvalind' 2>/dev/null; then install_package; fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvalind-mutants.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
COPY="$WORK/src"
mkdir "$COPY"
# The sources as they are in the worktree, committed or not (tracked files
# deleted there left out).
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard | tar -cf - --null --ignore-failed-read -T - 2>/dev/null) |
  tar -xf - -C "$COPY"

cpp_targets=()
for suite in "${CPP_SUITES[@]}"; do
  if [ -f "$COPY/tests/cpp/$suite.cc" ]; then cpp_targets+=("$suite"); fi
done
py_files=()
for suite in "${PY_SUITES[@]}"; do
  if [ -f "$COPY/$suite" ]; then py_files+=("$suite"); fi
done
SUITES=("${cpp_targets[@]}" "${py_files[@]}")
for suite in "${CPP_SUITES[@]}" "${PY_SUITES[@]}"; do
  [[ " ${SUITES[*]} " == *" $suite "* ]] || echo "no $suite in these sources: left out" >&2
done

cmake -S "$COPY" -B "$WORK/build-cpp" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVALIND_BUILD_TESTS=ON -DCORVALIND_BUILD_EXTENSION=OFF >/dev/null
cmake -S "$COPY" -B "$WORK/build-py" -DCMAKE_BUILD_TYPE=Release -DCORVALIND_BUILD_EXTENSION=ON \
  -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null

# Builds the copy as it stands; returns non-zero when it does not compile.
# The package imports its native companion, so that is built too and put
# where the copy's package finds it.
build() {
  cmake --build "$WORK/build-cpp" -j"$(nproc)" --target "${cpp_targets[@]}" >"$WORK/build.log" 2>&1 &&
    cmake --build "$WORK/build-py" -j"$(nproc)" --target _corvalind _native >>"$WORK/build.log" 2>&1 &&
    cp "$WORK"/build-py/_native*.so "$COPY/python/corvalind/"
}

# Runs one suite on the built copy; returns non-zero when it fails.
run_suite() {
  local suite="$1"
  if [[ "$suite" == *.py ]]; then
    (cd "$COPY" && PYTHONPATH="$WORK/build-py:$COPY/python" timeout "$SUITE_TIMEOUT" \
      "$VENV/bin/python" -m pytest -q -x -p no:cacheprovider "$suite") >"$WORK/suite.log" 2>&1
  else
    timeout "$SUITE_TIMEOUT" "$WORK/build-cpp/$suite" --gtest_brief=1 >"$WORK/suite.log" 2>&1
  fi
}

# Applies mutant $1's edit ($3 to $4) to file $2 of the copy, or with $5
# set to a scratch copy of that file; exits 2 when its text is not there
# exactly once.
apply() {
  local target="$COPY/$2"
  if [ -n "${5:-}" ]; then
    target="$WORK/scratch"
    cp "$COPY/$2" "$target"
  fi
  "$VENV/bin/python" - "$target" "$3" "$4" <<'PY' || { echo "mutant $1 no longer applies to $2" >&2; exit 2; }
import sys
path, old, new = sys.argv[1:]
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit(f"{path}: {old!r} occurs {text.count(old)} times, not once")
open(path, "w", encoding="utf-8").write(text.replace(old, new))
PY
}

selected=("$@")
chosen() {
  [ ${#selected[@]} -eq 0 ] && return 0
  local name
  for name in "${selected[@]}"; do [ "$name" = "$1" ] && return 0; done
  return 1
}
for name in "${selected[@]}"; do
  printf '%s\n' "${MUTANTS[@]}" | cut -d'|' -f1 | grep -qxF -- "$name" || { echo "no mutant named $name" >&2; exit 2; }
done

# Every mutant chosen must apply before anything is built.
for entry in "${MUTANTS[@]}"; do
  IFS='|' read -r name file old new <<<"$entry"
  if chosen "$name"; then apply "$name" "$file" "$old" "$new" scratch; fi
done

echo "checking the unmutated sources" >&2
if ! build; then
  cat "$WORK/build.log" >&2
  echo "the unmutated sources do not build" >&2
  exit 2
fi
for suite in "${SUITES[@]}"; do
  if ! run_suite "$suite"; then
    tail -n 30 "$WORK/suite.log" >&2
    echo "$suite fails on the unmutated sources" >&2
    exit 2
  fi
done

names=()
for suite in "${SUITES[@]}"; do names+=("$(basename "$suite")"); done
printf '%-20s' mutant
printf '  %s' "${names[@]}"
printf '\n'
survivors=0
for entry in "${MUTANTS[@]}"; do
  IFS='|' read -r name file old new <<<"$entry"
  chosen "$name" || continue
  cp "$COPY/$file" "$WORK/unmutated"
  apply "$name" "$file" "$old" "$new"
  if ! build; then
    tail -n 30 "$WORK/build.log" >&2
    echo "mutant $name does not compile: fix its edit" >&2
    exit 2
  fi
  line="$(printf '%-20s' "$name")"
  killed=0
  for i in "${!SUITES[@]}"; do
    if run_suite "${SUITES[$i]}"; then
      verdict=survives
    else
      verdict=KILLS
      killed=1
    fi
    line+="$(printf "  %-${#names[$i]}s" "$verdict")"
  done
  line="${line%"${line##*[! ]}"}"
  [ "$killed" -eq 1 ] || { line+="  <- SURVIVES"; survivors=$((survivors + 1)); }
  echo "$line"
  cp "$WORK/unmutated" "$COPY/$file"
done

if [ "$survivors" -gt 0 ]; then
  echo "$survivors mutant(s) survive every suite: a test is missing" >&2
  exit 1
fi
