#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Builds the libFuzzer targets of fuzz/ (fuzz_snapshot, fuzz_build) with
# clang, ASan and UBSan in build/fuzz, and runs each TARGET (default: all)
# for SECONDS (default 60), side by side, on a copy of fuzz/corpus/TARGET in
# build/fuzz/work/TARGET, so the seed corpus stays as it is. Fails when a
# target crashes, leaks, hangs (10 s per input) or allocates too much; the
# input is left in build/fuzz/work/TARGET/ as crash-*, leak-*, timeout-* or
# oom-*, and `build/fuzz/TARGET FILE` runs it again.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

RUN_SECONDS="${1:-60}"
shift $(($# > 0 ? 1 : 0))
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(fuzz_snapshot fuzz_build)

# Debian 12's clang 19: clang 14, its default, hides std::expected of
# libstdc++ 12 (it predates the concepts level that <expected> checks for).
CLANG_VERSION=19
CXX="clang++-$CLANG_VERSION"

install_clang() {
  if command -v "$CXX" >/dev/null 2>&1 && [ -f "$("$CXX" -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
    return
  fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "clang-$CLANG_VERSION" \
    "libclang-rt-$CLANG_VERSION-dev" >/dev/null
}

install_system_packages
install_clang

BUILD="$ROOT/build/fuzz"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX" \
  -DCORVALIND_BUILD_EXTENSION=OFF -DCORVALIND_SANITIZE=ON -DCORVALIND_BUILD_FUZZERS=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target "${TARGETS[@]}"

export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# A single allocation over 256 MB from an input of at most 4 KB is a bug.
run_target() {
  local target="$1" work="$BUILD/work/$1"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$ROOT/fuzz/corpus/$target/"* "$work/corpus/"
  local dict=()
  [ -f "$ROOT/fuzz/$target.dict" ] && dict=("-dict=$ROOT/fuzz/$target.dict")
  "$BUILD/$target" "$work/corpus" "${dict[@]}" -max_total_time="$RUN_SECONDS" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=256 -print_final_stats=1 -artifact_prefix="$work/" >"$work/log" 2>&1
}

# One line per target: executions, their rate and the coverage reached.
summarize() {
  local log="$BUILD/work/$1/log"
  local runs rate cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -n 1)
  echo "$1: ${runs:-?} executions, ${rate:-?} per second; $cov"
}

declare -A pids
for target in "${TARGETS[@]}"; do
  run_target "$target" &
  pids[$target]=$!
done

failed=()
for target in "${TARGETS[@]}"; do
  if wait "${pids[$target]}"; then
    summarize "$target"
  else
    failed+=("$target")
    echo "$target FAILED; log: $BUILD/work/$target/log" >&2
    grep -E 'ERROR|SUMMARY|inconsistency|Test unit written|runtime error' "$BUILD/work/$target/log" | head -n 20 >&2
  fi
done
[ ${#failed[@]} -eq 0 ]
