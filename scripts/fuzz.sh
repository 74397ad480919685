#!/usr/bin/env bash
# Fuzzes the history-file loader with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer for the given number of seconds (default 60),
# starting from valid history files. Exits non-zero when an input crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build-fuzz
mkdir -p "$out/corpus" "$out/artifacts"

cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ]; then
  echo "fuzz.sh: clang++ not found" >&2
  exit 1
fi
flags=(-std=c++20 -O1 -g -ffp-contract=off -fno-omit-frame-pointer
       -fsanitize=address,undefined -fno-sanitize-recover=all -Iengine -Iinclude)

# The engine is compiled straight into the fuzzer, so no shared library and no
# hidden symbols stand between the target and the loader. Objects are kept so
# that a second run only recompiles what changed.
objects=()
for src in $(find engine -name '*.cpp' | sort) tests/fuzz/history_load_fuzz.cpp; do
  obj="$out/obj/${src%.cpp}.o"
  mkdir -p "$(dirname "$obj")"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find engine include -name '*.h' -newer "$obj" -print -quit)" ]; then
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  fi
  objects+=("$obj")
done
"$cxx" "${flags[@]}" -fsanitize=fuzzer "${objects[@]}" -o "$out/history_load_fuzz"

# Seeds: the golden files of the tests.
for f in tests/data/*.qvh; do
  [ -f "$f" ] && cp "$f" "$out/corpus/"
done

ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$out/history_load_fuzz" "$out/corpus" -max_total_time="$seconds" -rss_limit_mb=4096 \
    -artifact_prefix="$out/artifacts/" -print_final_stats=1 >"$out/fuzz.log" 2>&1 || {
  status=$?
  tail -n 60 "$out/fuzz.log" >&2
  echo "fuzz.sh: the fuzzer found a failing input (exit $status); see $out/artifacts/" >&2
  exit 1
}
grep -E "^(stat::number_of_executed_units|Done)" "$out/fuzz.log" || true
echo "fuzz.sh: no failure in ${seconds}s"
