#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) and runs each for SECONDS seconds
# (default 30) from a copy of its seed corpus. Fails on any finding; skips
# with a message where clang or its fuzzer runtime is missing.
#
#   scripts/fuzz-smoke.sh [SECONDS] [BUILD_DIR]
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${2:-$root/build/fuzz}"

if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
  echo "fuzz-smoke: clang not found, skipped (apt-get install clang libclang-rt-dev)"
  exit 0
fi
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  > "$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  echo "fuzz-smoke: clang has no libFuzzer runtime, skipped (apt-get install libclang-rt-dev)"
  exit 0
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DKORVEL_FUZZ=ON \
  -DKORVEL_BUILD_TESTS=OFF -DKORVEL_BUILD_BENCH=OFF -DKORVEL_BUILD_TOOLS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target $(cd "$root/fuzz/corpus" && printf 'fuzz_%s ' *)

work="$(mktemp -d)"
trap 'rm -rf "$probe" "$work"' EXIT
failed=0
passed=0
for corpus in "$root"/fuzz/corpus/*/; do
  what="$(basename "$corpus")"
  target="$build/fuzz/fuzz_$what"
  [ -x "$target" ] || { echo "fuzz-smoke: no target for corpus $what"; failed=$((failed + 1)); continue; }
  cp -r "$corpus" "$work/$what"
  echo "fuzz-smoke: fuzz_$what for ${seconds}s"
  if "$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/$what-" "$work/$what" >"$work/$what.log" 2>&1; then
    grep -E "stat::number_of_executed_units" "$work/$what.log" || true
    passed=$((passed + 1))
  else
    echo "fuzz-smoke: fuzz_$what FOUND A FAULT:"
    grep -E "ERROR|SUMMARY|#[0-9]+ .*/(src|fuzz)/" "$work/$what.log" | head -30 || true
    for a in "$work/$what"-*; do
      [ -e "$a" ] || continue
      mkdir -p "$root/fuzz/findings"
      cp "$a" "$root/fuzz/findings/"
      echo "fuzz-smoke: input kept as fuzz/findings/$(basename "$a")"
    done
    failed=$((failed + 1))
  fi
done
echo "fuzz-smoke: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
