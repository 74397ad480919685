#!/usr/bin/env bash
# End-to-end test of the viewer on an X display: start from a fresh program
# directory, drive it with xdotool, compare its console and its picture with
# the engine's, export pictures and a history through the terminal dialogs,
# end it with SIGTERM and check the places file.
# Usage: e2e.sh PROGRAM_DIR HELPER DEF_PAL   (exit 77 = skipped)
set -euo pipefail
bin=$(realpath "$1") helper=$(realpath "$2") defpal=$(realpath "$3")

skip() { echo "SKIP: $*"; exit 77; }
[ -n "${DISPLAY:-}" ] || skip "no DISPLAY (scripts/test.sh starts Xvfb)"
for tool in xdotool xwd compare; do command -v $tool >/dev/null || skip "$tool is missing"; done
convert=/usr/bin/convert
[ -x $convert ] || convert=$(command -v convert) || skip "ImageMagick convert is missing"
[ -x "$bin/viewer" ] || { echo "FAIL: $bin/viewer not built"; exit 1; }

work=$(mktemp -d /tmp/qv-viewer-e2e.XXXXXX)
viewer_pid=""
cleanup() {
  [ -n "$viewer_pid" ] && kill -KILL "$viewer_pid" 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  if [ -n "${KEEP_E2E:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- console"; cat "$work/out" 2>/dev/null || true
  echo "--- stderr"; cat "$work/err" 2>/dev/null || true
  exit 1
}

prog=$work/prog
mkdir "$prog"
cp "$bin/viewer" "$prog/"
cp -P "$bin"/libquorvel.so* "$prog/"
cp "$defpal" "$prog/def.pal"
# Sanitizer builds: the GL driver is unloaded before the leak check runs, so
# its deliberate allocations show up from an unknown module and cannot be
# suppressed by name. The viewer's own logic is leak-checked by test_viewer.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

# Without a display: one line, status 1.
set +e
env -u DISPLAY "$prog/viewer" >"$work/nodisplay.out" 2>"$work/nodisplay.err"
status=$?
set -e
[ $status -eq 1 ] || fail "without a display the status is $status, not 1"
[ ! -s "$work/nodisplay.out" ] && [ "$(wc -l <"$work/nodisplay.err")" -eq 1 ] ||
  fail "without a display: $(cat "$work/nodisplay.out" "$work/nodisplay.err")"
[ ! -e "$prog/places" ] || fail "a start without display wrote places"

# The terminal dialogs read their answers from this pipe.
mkfifo "$work/answers"
exec 3<>"$work/answers"
cd "$work"
QUORVEL_DIALOGS=terminal QUORVEL_TIMING=1 "$prog/viewer" <"$work/answers" >"$work/out" 2>"$work/err" &
viewer_pid=$!

now() { date +%s.%N; }
waited() { awk -v a="$1" -v b="$(now)" 'BEGIN { exit !(b - a < 60) }'; }
completions() { grep -c "picture complete" "$work/err" 2>/dev/null || true; }
lines() { wc -l <"$work/out"; }
title() { xdotool getwindowname "$wid" 2>/dev/null || true; }
wait_for() {  # description, shell condition
  local start; start=$(now)
  until eval "$2"; do
    kill -0 $viewer_pid 2>/dev/null || fail "viewer died while waiting for $1"
    waited "$start" || fail "timed out waiting for $1"
    sleep 0.05
  done
}
wait_done() { wait_for "' done' in the title" '[[ "$(title)" == [\ .]done* ]]'; }

# No X client of ours before the viewer is connected: a server that loses its
# last client resets and refuses connections for a moment.
wait_for "the start-up lines" 'grep -q "^loading palette" "$work/out"'
wait_for "the window" 'wid=$(xdotool search --name "crunching|done|hnngrgrl" 2>/dev/null | head -1); [ -n "$wid" ]'
wait_for "the first picture" '[ "$(completions)" -ge 1 ]'
wait_done
xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
sleep 0.3

# press KEY NEW_CONSOLE_LINES RESTARTS: sends one key, waits for its lines and,
# if it restarts refinement, for the picture to complete again.
press() {
  local before_lines before_done
  before_lines=$(lines) before_done=$(completions)
  xdotool key --clearmodifiers "$1"
  wait_for "$2 console lines after $1" "[ \$(lines) -ge $((before_lines + $2)) ]"
  if [ "$3" = 1 ]; then wait_for "the picture after $1" "[ \$(completions) -gt $before_done ]"; fi
}

screenshot() {  # OUT.ppm: the window's contents
  xwd -silent -id "$wid" >"$work/shot.xwd"
  $convert "xwd:$work/shot.xwd" -depth 8 "ppm:$1"
}
same_picture() {  # A B: pixel-identical 600 x 600 pictures
  local diff
  diff=$(compare -metric AE "$1" "$2" null: 2>&1 || true)
  [ "$diff" = 0 ] || fail "$1 and $2 differ in $diff pixels"
}

# 1. The first picture is the engine's picture of the home view.
"$helper" home "$prog/def.pal" "$work/home.ppm" "$work/home.loc"
"$helper" place "$prog/def.pal" "$work/place.ppm" "$work/place.loc"
screenshot "$work/shot-home.ppm"
same_picture "$work/shot-home.ppm" "$work/home.ppm"

# 2. Keys and their console lines.
press Prior 2 1
press shift+Prior 2 1
press Left 2 1
press Right 2 1
press Up 2 1
press Down 2 1
press ctrl+F3 1 0
press q 1 1
press a 1 1
for n in 1 2 3 4 5 6 7 8 1; do press $n 1 1; done
press 0 1 0
press 9 1 0
press y 2 1
press x 2 1
press space 2 1
press F3 3 1
press m 1 1
press d 1 0
press b 1 1
press r 1 1
press c 0 1
press C 0 1
press P 1 1  # undoes the palette rotation of the short cycling
press m 1 1
press r 1 1
wait_done
sleep 0.5

# 3. The restored place, drawn as the engine draws it.
screenshot "$work/shot-place.ppm"
same_picture "$work/shot-place.ppm" "$work/place.ppm"

# 4. Picture export through the terminal dialogs: TGA (type 1) and, typed
# without an extension, PNG (type 2).
printf '%s\n1\n' "$work/pic.tga" >&3
xdotool key s
wait_for "pic.tga" '[ -s "$work/pic.tga" ] && [ $(stat -c %s "$work/pic.tga") -eq $((18 + 600 * 600 * 3)) ]'
printf '%s\n2\n' "$work/pic2" >&3
xdotool key S
wait_for "pic2.png" '[ -s "$work/pic2.png" ] && $convert "$work/pic2.png" "ppm:$work/pic2.ppm" 2>/dev/null'
[ "$(od -An -tu1 -j2 -N1 "$work/pic.tga" | tr -d ' ')" = 2 ] || fail "TGA byte 2 is not 2"
[ "$(od -An -tu1 -j16 -N1 "$work/pic.tga" | tr -d ' ')" = 24 ] || fail "TGA byte 16 is not 24"
# ImageMagick marks a lower-left origin as an orientation instead of flipping.
$convert "$work/pic.tga" -auto-orient "ppm:$work/pic.ppm"
same_picture "$work/pic.ppm" "$work/place.ppm"
same_picture "$work/pic2.ppm" "$work/place.ppm"

# 5. History: save everything, move away, load it back.
printf '%s\n1\n' "$work/hist.q" >&3
xdotool key H
wait_for "hist.q" '[ -s "$work/hist.q" ]'
sleep 0.5
[ "$(head -c 8 "$work/hist.q")" = "quorvel" ] || fail "hist.q does not start with the magic line"
press Next 2 1
printf '%s\n' "$work/hist.q" >&3
press h 2 1

# 6. Palette cycling: frame rate over a few seconds with the picture complete.
press c 0 1
press c 0 1
press c 0 1
wait_done
fps_before=$(grep -c "frames per second" "$work/err" || true)
wait_for "two frame-rate reports" "[ \$(grep -c 'frames per second' \"\$work/err\") -ge $((fps_before + 2)) ]"
press P 1 1

# 7. SIGTERM: the places are saved, the context deleted.
kill -TERM $viewer_pid
wait_for "the viewer to end" '! kill -0 $viewer_pid 2>/dev/null'
set +e
wait $viewer_pid
status=$?
set -e
viewer_pid=""
[ $status -eq 0 ] || fail "viewer ended with status $status"

[ "$(stat -c %s "$prog/places")" -eq 1200 ] || fail "places is not 1200 bytes"
for slot in 0 1 3 11; do
  cmp -s <(dd if="$prog/places" bs=100 skip=$slot count=1 2>/dev/null) "$work/home.loc" ||
    fail "places slot $slot is not the start view"
done
cmp -s <(dd if="$prog/places" bs=100 skip=2 count=1 2>/dev/null) "$work/place.loc" ||
  fail "places slot 2 is not the place stored with Ctrl+F3"

# 8. The whole console, byte for byte.
# The zoom factors are floats (1.6f, 2.56f), so the radius is not exactly
# 0.48828125, and horizontal moves go by multiples of 8 pixels (-75 -> -80,
# +75 -> +72): the place ends 8 pixels left of 0. A moved view takes its
# centre from its row table, whose middle row lies a rounding error below 0.
zero="0.0000000000" mzero="-0.0000000000" px=-0.0130208334 r=0.48828
info() { printf 'mandelbrot center = %s / %s\nradius= %s; maximum iteration depth = %s\n' "$@"; }
{
  printf 'This was getting overly long, so have a look at the readme for controls.\n\n'
  printf 'Command line:\n%s\n' "$prog/viewer"
  printf 'memory limit is 96 megabytes\nNo preset places found\nloading palette: %s\n' "$prog/def.pal"
  info $zero $zero 1.25 150
  info $zero $zero $r 150
  info -0.1302083343 $mzero $r 150
  info $px $mzero $r 150
  info $px 0.1220703134 $r 150
  info $px $mzero $r 150
  printf 'saved this location to slot #3\n'
  printf 'max iterations=300\nmax iterations=150\n'
  printf 'no antialiasing\n'
  for n in 2 3 4 5 6 7 8; do printf '%dx%d ordered grid supersampling\n' $n $n; done
  printf 'no antialiasing\n'
  printf 'aa gamma correction set to 1.875\naa gamma correction set to 1.750\n'
  info $px 0.1220703134 $r 150
  info $px $mzero $r 150
  info $zero $zero 2 150
  printf 'restored location #3\n'
  info $px $mzero $r 150
  printf 'using box matching\npreview disabled\nbackground crunching off\nrestarting\n'
  printf 'Resetting palette\nusing contour tracing\nrestarting\n'
  info $px $mzero 0.78125 150
  info $px $mzero $r 150
  printf 'Resetting palette\n'
} >"$work/expected"
cmp -s "$work/expected" "$work/out" || {
  diff "$work/expected" "$work/out" || true
  fail "console lines differ"
}

# Figures for the record.
grep -E "first complete picture|longest idle|frames per second|took" "$work/err" | sed 's/^/  /'
longest=$(sed -n 's/.*longest idle callback \([0-9.]*\) s.*/\1/p' "$work/err")
awk -v t="$longest" 'BEGIN { exit !(t < 0.3) }' || echo "NOTE: an idle callback took ${longest} s (target 0.3 s)"
echo "viewer end-to-end: all checks passed"
