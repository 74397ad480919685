#!/usr/bin/env bash
# The viewer under X from a fresh program directory, driven by xdotool: console
# and pictures against the engine's, exports, history, signals and places.
# Usage: e2e.sh PROGRAM_DIR HELPER DEF_PAL SLOW_FSYNC   (exit 77 = skipped)
# SLOW_FSYNC is a library preloaded into the viewer to make its saves slow.
set -euo pipefail
bin=$(realpath "$1") helper=$(realpath "$2") defpal=$(realpath "$3") slow_fsync=$(realpath "$4")

skip() { echo "SKIP: $*"; exit 77; }
[ -n "${DISPLAY:-}" ] || skip "no DISPLAY (scripts/test.sh starts Xvfb)"
for tool in xdotool xwd compare; do command -v $tool >/dev/null || skip "$tool is missing"; done
convert=/usr/bin/convert
[ -x $convert ] || convert=$(command -v convert) || skip "ImageMagick convert is missing"
[ -x "$bin/viewer" ] || { echo "FAIL: $bin/viewer not built"; exit 1; }

work=$(mktemp -d /tmp/qv-viewer-e2e.XXXXXX) prog=$work/prog viewer_pid=""
trap '[ -z "$viewer_pid" ] || kill -KILL $viewer_pid 2>/dev/null; [ -n "${KEEP_E2E:-}" ] && echo "kept $work" || rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -n +1 "$work/out" "$work/err" 2>/dev/null; exit 1; }

mkdir "$prog"
# The session and any per-user places stay inside the test's folder.
export XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config
cp -P "$bin/viewer" "$bin"/libquorvel.so* "$prog/"
cp "$defpal" "$prog/def.pal"
# Sanitizer builds: the GL driver's deliberate allocations cannot be suppressed
# by name (it is unloaded first); test_viewer leak-checks the viewer's logic.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

# Without a display: one line on standard error, status 1, no places written.
env -u DISPLAY "$prog/viewer" >"$work/nodisplay.out" 2>"$work/nodisplay.err" && status=0 || status=$?
[ $status -eq 1 ] && [ ! -s "$work/nodisplay.out" ] && [ ! -e "$prog/places" ] &&
  [ "$(wc -l <"$work/nodisplay.err")" -eq 1 ] ||
  fail "without a display: status $status, $(cat "$work/nodisplay.out" "$work/nodisplay.err")"

# The terminal dialogs read their answers from this pipe.
mkfifo "$work/answers"
exec 3<>"$work/answers"
cd "$work"
QUORVEL_DIALOGS=terminal QUORVEL_TIMING=1 "$prog/viewer" <"$work/answers" >"$work/out" 2>"$work/err" &
viewer_pid=$!

count() { grep -c "$1" "$work/err" 2>/dev/null || true; }
lines() { wc -l <"$work/out"; }
wait_for() {  # DESCRIPTION CONDITION: polls for up to a minute while the viewer runs
  local end=$((SECONDS + 60))
  until eval "$2"; do
    kill -0 $viewer_pid 2>/dev/null || fail "viewer died while waiting for $1"
    [ $SECONDS -lt $end ] || fail "timed out waiting for $1"
    sleep 0.05
  done
}
wait_done() { wait_for "' done' in the title" '[[ "$(xdotool getwindowname "$wid" 2>/dev/null)" == [\ .]done* ]]'; }

# No X client of ours before the viewer is connected: a server that loses its
# last client resets and refuses connections for a moment.
wait_for "the start-up lines" 'grep -q "^loading palette" "$work/out"'
wait_for "the window" 'wid=$(xdotool search --name "crunching|done|hnngrgrl" 2>/dev/null | head -1); [ -n "$wid" ]'
wait_for "the first picture" '[ "$(count "picture complete")" -ge 1 ]'
wait_done
xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
sleep 0.3

# press KEY NEW_CONSOLE_LINES RESTARTS(0/1: wait for the picture to complete again)
press() {
  local lines0 done0
  lines0=$(lines) done0=$(count "picture complete")
  xdotool key --clearmodifiers "$1"
  wait_for "$2 console lines after $1" "[ \$(lines) -ge $((lines0 + $2)) ]"
  [ "$3" = 0 ] || wait_for "the picture after $1" "[ \$(count 'picture complete') -gt $done0 ]"
}
shot() { xwd -silent -id "$wid" | $convert xwd:- -depth 8 "ppm:$work/shot.ppm"; }
same_picture() {  # A B: pixel-identical pictures
  local diff; diff=$(compare -metric AE "$1" "$2" null: 2>&1 || true)
  [ "$diff" = 0 ] || fail "$1 and $2 differ in $diff pixels"
}

# 1. The first picture is the engine's picture of the home view.
"$helper" home "$prog/def.pal" "$work/home.ppm" "$work/home.loc"
"$helper" place "$prog/def.pal" "$work/place.ppm" "$work/place.loc"
shot
same_picture "$work/shot.ppm" "$work/home.ppm"

# 2. Keys as KEY:NEW_CONSOLE_LINES:RESTARTS; P undoes the short cycling's rotation.
for step in Prior:2:1 shift+Prior:2:1 Left:2:1 Right:2:1 Up:2:1 Down:2:1 ctrl+F3:1:0 q:1:1 \
  a:1:1 1:1:1 2:1:1 3:1:1 4:1:1 5:1:1 6:1:1 7:1:1 8:1:1 1:1:1 0:1:0 9:1:0 y:2:1 x:2:1 \
  space:2:1 F3:3:1 m:1:1 d:1:0 b:1:1 r:1:1 c:0:1 C:0:1 P:1:1 m:1:1 r:1:1; do
  press ${step//:/ }
done
wait_done
sleep 0.5

# 3. The restored place, drawn as the engine draws it.
shot
same_picture "$work/shot.ppm" "$work/place.ppm"

# 4. Export through the terminal dialogs: the extension says the type (no
# question), and PNG (type 2) typed without extension.
printf '%s\n' "$work/pic.tga" >&3
xdotool key s
wait_for "pic.tga" '[ "$(stat -c %s "$work/pic.tga" 2>/dev/null)" = $((18 + 600 * 600 * 3)) ]'
printf '%s\n' "$work/pic3.png" >&3
xdotool key s
wait_for "pic3.png" '[ -s "$work/pic3.png" ]'
[ "$(head -c 4 "$work/pic3.png" | tail -c 3)" = PNG ] || fail "pic3.png holds no PNG data"
printf '%s\n2\n' "$work/pic2" >&3
xdotool key S
wait_for "pic2.png" '[ -s "$work/pic2.png" ] && $convert "$work/pic2.png" "ppm:$work/pic2.ppm" 2>/dev/null'
[ "$(count 'type \[1-2, Enter = 1\]')" -eq 1 ] || fail "the picture type was not asked once"
[ "$(od -An -tu1 -j2 -N15 "$work/pic.tga" | awk '{ print $1, $15 }')" = "2 24" ] ||
  fail "TGA bytes 2 and 16 are not 2 and 24"
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
for key in c c c; do press $key 0 1; done
wait_done
fps=$(count "frames per second")
wait_for "two frame-rate reports" "[ \$(count 'frames per second') -ge $((fps + 2)) ]"
press P 1 1

# 7. SIGTERM: the places are saved, the context deleted.
kill -TERM $viewer_pid
# Here the viewer is meant to end, so its end is no failure.
for _ in $(seq 1200); do kill -0 $viewer_pid 2>/dev/null || break; sleep 0.05; done
kill -0 $viewer_pid 2>/dev/null && fail "the viewer did not end within a minute of SIGTERM"
wait $viewer_pid && status=0 || status=$?
viewer_pid=""
[ $status -eq 0 ] || fail "viewer ended with status $status"
[ "$(stat -c %s "$prog/places")" -eq 1200 ] || fail "places is not 1200 bytes"
slot() { dd if="$prog/places" bs=100 skip=$1 count=1 2>/dev/null; }
for n in 0 1 3 11; do cmp -s <(slot $n) "$work/home.loc" || fail "slot $n is not the start view"; done
cmp -s <(slot 2) "$work/place.loc" || fail "places slot 2 is not the place stored with Ctrl+F3"
# Beside it the exact texts: the stored place on line 3, the other slots empty.
[ "$(wc -l <"$prog/places.txt")" -eq 12 ] && [ "$(grep -c . "$prog/places.txt")" -eq 1 ] &&
  sed -n 3p "$prog/places.txt" | grep -Eq '^[-+][0-9A-F]\.[0-9A-F]+x[-+][0-9]+ .* 150$' ||
  fail "places.txt does not hold the place stored with Ctrl+F3: $(cat "$prog/places.txt")"

# 8. The whole console, byte for byte.
# The zoom factors are floats (1.6f, 2.56f), so the radius is not exactly
# 0.48828125, and horizontal moves go by multiples of 8 pixels (-75 -> -80,
# +75 -> +72): the place ends 8 pixels left of 0. A moved view takes its
# centre from its row table, whose middle row lies a rounding error below 0.
zero="0.0000000000" mzero="-0.0000000000" px=-0.0130208334 r=0.48828
info() { printf 'mandelbrot center = %s / %s\nradius= %s; maximum iteration depth = 150\n' "$@"; }
{
  printf 'This was getting overly long, so have a look at the readme for controls.\n\n'
  printf 'Command line:\n%s\nmemory limit is 96 megabytes\nNo preset places found\n' "$prog/viewer"
  printf 'loading palette: %s\n' "$prog/def.pal"
  info $zero $zero 1.25 $zero $zero $r -0.1302083343 $mzero $r $px $mzero $r \
    $px 0.1220703134 $r $px $mzero $r
  printf 'saved this location to slot #3\nmax iterations=300\nmax iterations=150\n'
  printf 'no antialiasing\n'
  for n in {2..8}; do printf '%dx%d ordered grid supersampling\n' $n $n; done
  printf 'no antialiasing\naa gamma correction set to 1.875\naa gamma correction set to 1.750\n'
  info $px 0.1220703134 $r $px $mzero $r $zero $zero 2
  printf 'restored location #3\n'
  info $px $mzero $r
  printf '%s\n' "using box matching" "preview disabled" "background crunching off" restarting \
    "Resetting palette" "using contour tracing" restarting
  info $px $mzero 0.78125 $px $mzero $r
  printf 'Resetting palette\n'
} >"$work/expected"
diff "$work/expected" "$work/out" || fail "console lines differ"

# Figures for the record.
grep -E "first complete picture|longest idle|frames per second|took" "$work/err" | sed 's/^/  /'
longest=$(sed -n 's/.*longest idle callback \([0-9.]*\) s.*/\1/p' "$work/err")
awk -v t="$longest" 'BEGIN { exit !(t < 0.3) }' || echo "NOTE: an idle callback took ${longest} s (target 0.3 s)"

# 9. Nothing lost: a place stored at once, five zooms autosaved, kill -9; then
# -resume shows the last view, with its gamma, and Y steps back through the five.
viewer_windows() { xdotool search --name "crunching|done|hnngrgrl" 2>/dev/null || true; }
# end_viewer SIGNAL: sends it, waits (a minute at most) and sets status.
end_viewer() {
  kill -$1 $viewer_pid
  local end=$((SECONDS + 60))
  while kill -0 $viewer_pid 2>/dev/null; do
    [ $SECONDS -lt $end ] || fail "the viewer did not end within a minute of SIG$1"
    sleep 0.05
  done
  wait $viewer_pid && status=0 || status=$?
  viewer_pid=""
}
start_viewer() {
  # The previous viewer's window must be gone before the new one is looked for.
  local end=$((SECONDS + 60))
  while [ -n "$(viewer_windows)" ]; do
    [ $SECONDS -lt $end ] || fail "the previous viewer's window stays"
    sleep 0.05
  done
  # A server started without -noreset refuses connections for a moment after
  # its last client (the previous viewer) left: try again then.
  local attempt
  for attempt in $(seq 40); do
    # Emptied here: the child's own redirection may come after the first look.
    : >"$work/out"
    : >"$work/err"
    env QUORVEL_DIALOGS=terminal QUORVEL_TIMING=1 ${preload:+"LD_PRELOAD=$preload"} \
      ${preload:+"ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0"} \
      "$prog/viewer" "$@" <"$work/answers" >"$work/out" 2>"$work/err" &
    viewer_pid=$!
    while kill -0 $viewer_pid 2>/dev/null && ! grep -q "^loading palette" "$work/out"; do sleep 0.05; done
    grep -q "^loading palette" "$work/out" && break
    wait $viewer_pid || true
    grep -q "cannot open the X display" "$work/err" || fail "the viewer did not start"
    sleep 0.25
  done
  wait_for "the start-up lines" 'grep -q "^loading palette" "$work/out"'
  wait_for "the window" 'wid=$(viewer_windows | head -1); [ -n "$wid" ]'
  wait_for "the first picture" '[ "$(count "picture complete")" -ge 1 ]'
  wait_done
  timeout 10 xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
  sleep 0.3
}
session=$work/state/quorvel/session.q
preload=""
rm -f "$prog/places" "$prog/places.txt" "$session"
start_viewer
press 0 1 0
press ctrl+F5 1 0
[ "$(stat -c %s "$prog/places" 2>/dev/null)" = 1200 ] || fail "Ctrl+F5 did not write the places at once"
for _ in 1 2 3 4 5; do press Prior 2 1; done
wait_done
shot
cp "$work/shot.ppm" "$work/before-kill.ppm"
sed -n '/^mandelbrot/{N;p}' "$work/out" >"$work/zooms"
# Saved within two seconds of the last zoom, without any further event.
wait_for "the autosaved five zooms" '[ "$(grep -a -o HistEntry "$session" 2>/dev/null | wc -l)" -eq 6 ]'
end_viewer KILL
cmp -s <(slot 4) "$work/home.loc" || fail "the place stored before kill -9 is lost"
# A start without -resume and without a key leaves the session alone.
cp "$session" "$work/session.q"
start_viewer
end_viewer TERM
cmp -s "$session" "$work/session.q" || fail "a start without -resume replaced the session"
start_viewer -resume
grep -qx "resumed the session $session" "$work/out" || fail "no resume line: $(cat "$work/out")"
[ "$(sed -n '/^resumed/{n;N;p}' "$work/out")" = "$(sed -n '9,10p' "$work/zooms")" ] ||
  fail "-resume does not show the last view"
shot
same_picture "$work/shot.ppm" "$work/before-kill.ppm"
for back in 1 2 3 4; do
  press y 2 1
  [ "$(tail -n 2 "$work/out")" = "$(sed -n "$((9 - 2 * back)),$((10 - 2 * back))p" "$work/zooms")" ] ||
    fail "Y number $back does not step back to the zoom before"
done
press y 2 1
tail -n 2 "$work/out" | grep -q "^radius= 2;" || fail "the fifth Y does not reach the start view"
press 9 1 0
[ "$(tail -n 1 "$work/out")" = "aa gamma correction set to 1.750" ] ||
  fail "the resumed gamma is not the viewer's own: $(tail -n 1 "$work/out")"
end_viewer TERM
[ $status -eq 0 ] || fail "the resumed viewer ended with status $status"

# 10. SIGHUP ends the viewer as SIGTERM does: the second zoom, not autosaved
# yet, is saved at the end.
entries() { grep -a -o HistEntry "$session" 2>/dev/null | wc -l; }
rm -f "$session"
start_viewer
press Prior 2 0
wait_for "the autosaved zoom" '[ "$(entries)" -eq 2 ]'
press Prior 2 0
end_viewer HUP
[ $status -eq 0 ] || fail "after SIGHUP the viewer ended with status $status"
[ "$(entries)" -eq 3 ] || fail "SIGHUP did not save the session ($(entries) views)"

# 11. Signals during slow saves: every fsync in the state folder takes three
# seconds while $work/state/slow exists. The shutdown's save outlasts the
# deadline the signal set: the session gets the last zoom, whole.
export QV_SLOW_FSYNC_DIR=$work/state
preload=$slow_fsync
temporaries() { find "$work/state" -name '.quorvel-*' | wc -l; }
rm -f "$session"
start_viewer
press Prior 2 0
wait_for "the autosaved zoom" '[ "$(entries)" -eq 2 ]'
touch "$work/state/slow"
press Prior 2 0
end_viewer TERM
[ $status -eq 0 ] || fail "the slowly saving viewer ended with status $status"
[ "$(entries)" -eq 3 ] && [ "$(temporaries)" -eq 0 ] ||
  fail "the shutdown's slow save was cut short: $(entries) views, $(temporaries) temporary files"
# In the middle of a save (the autosave after a zoom) the deadline of one
# signal, or a second signal, ends the viewer at once: the old session and the
# places stay whole, and no temporary file is left.
cp "$session" "$work/session.before"
cp "$prog/places" "$work/places.before"
for signals in 1 2; do
  start_viewer
  xdotool key --clearmodifiers Prior
  wait_for "the autosave to begin" '[ "$(temporaries)" -ge 1 ]'
  [ $signals -eq 1 ] || { kill -TERM $viewer_pid; sleep 0.1; }
  end_viewer TERM
  [ $status -eq 0 ] || fail "ended during a save by $signals signals: status $status"
  [ "$(temporaries)" -eq 0 ] || fail "ended during a save by $signals signals: temporary files left"
  cmp -s "$session" "$work/session.before" || fail "the session changed when the save was cut short"
  cmp -s "$prog/places" "$work/places.before" || fail "the places changed when the save was cut short"
done
rm "$work/state/slow"
preload=""

# 12. SIGTERM while the engine works on a view inside the set at the highest
# limit: the slice ends, and the viewer with status 0 and its places.
rm -f "$prog/places.txt"  # else its lines would stand for the records
"$helper" busy "$prog/places"
cp "$prog/places" "$work/busy.places"
start_viewer
press F1 3 0
sleep 0.5
end_viewer TERM
[ $status -eq 0 ] || fail "the busy viewer ended with status $status"
cmp -s "$prog/places" "$work/busy.places" || fail "the busy viewer lost its places"

# 13. The colour mapping: * doubles the density at once, without computing;
# the title and the view print show it, and -resume keeps it.
start_viewer
press asterisk 1 0
[ "$(tail -n 1 "$work/out")" = "colour density 2, phase 0" ] ||
  fail "* does not double the density: $(tail -n 1 "$work/out")"
wait_for "the mapping in the title" '[[ "$(xdotool getwindowname "$wid")" == *"colour density 2, phase 0"* ]]'
press Prior 3 1
[ "$(tail -n 1 "$work/out")" = "colour density 2, phase 0" ] || fail "the view print lacks the mapping"
end_viewer TERM
start_viewer -resume
wait_for "the resumed mapping" '[[ "$(xdotool getwindowname "$wid")" == *"colour density 2, phase 0"* ]]'
end_viewer TERM

echo "viewer end-to-end: all checks passed"
