#!/usr/bin/env bash
# Fuzzes the history-file loader, the place-record restore, the view texts of
# any depth, the viewer's places text file, palette files, the PNG view
# chunk's text and quorvel-render's command line with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer for the given number of
# seconds in all (default 60): a third for the loader, whose format is the
# largest, the rest shared by the others. Starts from valid history files,
# places and texts. Exits non-zero when an input crashes or breaks what must
# hold.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build-fuzz
mkdir -p "$out/corpus" "$out/corpus-places" "$out/corpus-places-text" "$out/corpus-strings" \
  "$out/corpus-palette" "$out/corpus-view-text" "$out/corpus-render" "$out/artifacts"

# The fuzz targets come from a build of their own: clang, the sanitizers and
# libFuzzer's coverage in every object (QV_FUZZ).
cc=$(command -v clang || command -v clang-14 || true)
cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cc" ] || [ -z "$cxx" ]; then
  echo "fuzz.sh: clang not found" >&2
  exit 1
fi
CC=$cc CXX=$cxx cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_FUZZ=ON \
  -DQV_TESTS=OFF -DQV_BENCH=OFF -DQV_VIEWER=OFF -DQV_TOOLS=OFF >/dev/null
cmake --build "$out" -j"$(nproc)" --target history_load_fuzz location_restore_fuzz \
  view_strings_fuzz places_text_fuzz palette_file_fuzz view_text_fuzz render_options_fuzz \
  >/dev/null

# Seeds: the golden files of the tests, and three places (home, a shallow and
# a deep view) as 100-byte records of little-endian words.
for f in tests/data/*.qvh; do
  [ -f "$f" ] && cp "$f" "$out/corpus/"
done
words() {
  local w
  for w in "$@"; do
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((w & 255)) $((w >> 8 & 255)) $((w >> 16 & 255)) $((w >> 24 & 255))
  done
}
zero="0 0 0 0 0 0 0 0"
printf "$(words $zero $zero 0 0 0 0 0 0x80000000 1 0 150)" >"$out/corpus-places/home"
printf "$(words 0 0 0 0 0 0xC0000000 0xFFFFFFFF 1  0 0 0 0 0xCCCCC800 0xCCCCCCCC 0xFFFFFFFC 0 \
               0 0 0 0 0 0xA3D70A3D 0xFFFFFFF9 0  300)" >"$out/corpus-places/shallow"
printf "$(words 0 0 0 0 0 0xA0000000 0 1  $zero  0 0 0 0 0 0x80000000 0xFFFFFFC4 0  200)" \
  >"$out/corpus-places/deep"

# Places texts: twelve empty slots, and a shallow, a deep and a home place.
printf '\n%.0s' {1..12} >"$out/corpus-places-text/empty"
{
  printf '%s\n' "-B.E5F721EB1E3C8x-1 +8.6FD5EAD4F61B8x-3 +D.BE6FECEBDEDD8x-34 5000"
  printf '%s\n' "-B.E5F721EB1E3C76DD4EDE45B22C0564AE0199413B469AF35x-1 +8.6FD5EAD4F61B8EF797D937B6D3E53667617410B2176B246x-3 +F.D00B897478238x-1064 150"
  printf '%s\n' "+0.0x+0 +0.0x+0 +8.0x+1 150"
  printf '\n%.0s' {1..9}
} >"$out/corpus-places-text/three"

# View texts: three lines, centre x, centre y and radius.
printf '0\n1\n1e-1000' >"$out/corpus-strings/misiurewicz"
printf -- '-1.76861049301467707450317565327022653\n0.0000312\n2e-60' >"$out/corpus-strings/decimal"
printf -- '+8.0x-2\n-C.8x-1\n+A.5x-20000' >"$out/corpus-strings/hex"

# Palettes: the shipped ones; view chunks: a shallow and a deep view.
cp def.pal "$out/corpus-palette/"
for f in palettes/*.pal; do
  [ -f "$f" ] && cp "$f" "$out/corpus-palette/"
done
printf 'centre-x -B.E5F721EB1E3C8x-1\ncentre-y +8.6FD5EAD4F61B8x-3\nradius 0.0001\niterations 5000\nsupersampling 2\ngamma 1.75\npalette def.pal\n' \
  >"$out/corpus-view-text/shallow"
printf 'centre-x -B.E5F721EB1E3C76DD4EDE45B22C0564AE0199413B469AF35x-1\ncentre-y +8.6FD5EAD4F61B8EF797D937B6D3E53667617410B2176B246x-3\nradius 1e-300\niterations 150\n' \
  >"$out/corpus-view-text/deep"
# Renderer command lines, one argument a line: shallow, deep, a movie, refused.
printf -- '--centre\n-0.75\n0.1\n--radius\n0.05\n--iterations\n300' >"$out/corpus-render/shallow"
printf -- '--centre\n0\n1\n--radius\n1e-1000\n--iterations\n6000' >"$out/corpus-render/deep"
printf -- '--centre\n+C.8x-20000\n-1.7686104930146770745031756532702265\n--radius\n+8.68A9x-3322' \
  >"$out/corpus-render/hex"
printf -- '--radius\n1e-400\n--zoom-frames\n4\n--out\nf%%d.png\n--jobs\n2' >"$out/corpus-render/movie"
printf -- '--radius\n0\n--size\n0x0' >"$out/corpus-render/refused"

# Runs one fuzzer on its corpus for the given seconds.
fuzz() {
  local target=$1 corpus=$2 time=$3
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$out/$target" "$out/$corpus" -max_total_time="$time" -rss_limit_mb=4096 \
      -artifact_prefix="$out/artifacts/$target-" -print_final_stats=1 >"$out/$target.log" 2>&1 || {
    status=$?
    tail -n 60 "$out/$target.log" >&2
    echo "fuzz.sh: $target found a failing input (exit $status); see $out/artifacts/" >&2
    exit 1
  }
  echo "$target:"
  grep -E "^(stat::number_of_executed_units|Done)" "$out/$target.log" || true
}

loader_seconds=$((seconds / 3))
[ "$loader_seconds" -ge 1 ] || loader_seconds=1
other_seconds=$(((seconds - loader_seconds) / 6))
[ "$other_seconds" -ge 1 ] || other_seconds=1
fuzz history_load_fuzz corpus "$loader_seconds"
fuzz location_restore_fuzz corpus-places "$other_seconds"
fuzz view_strings_fuzz corpus-strings "$other_seconds"
fuzz places_text_fuzz corpus-places-text "$other_seconds"
fuzz palette_file_fuzz corpus-palette "$other_seconds"
fuzz view_text_fuzz corpus-view-text "$other_seconds"
fuzz render_options_fuzz corpus-render "$other_seconds"
echo "fuzz.sh: no failure in ${seconds}s"
