#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

# The viewer tests need a display; start a private one unless we have one.
xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
  for n in $(seq 90 99); do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then
      Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
      xvfb_pid=$!
      export DISPLAY=:$n
      break
    fi
  done
  sleep 1
fi

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQV_WERROR=ON -DQV_TESTS=ON -DQV_BENCH=ON -DQV_VIEWER=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
# The engine's own tests once more on the portable one-lane kernels, which a
# processor with SIMD never picks by itself.
QUORVEL_SIMD=scalar ctest --test-dir build --output-on-failure -j"$jobs" \
  -R '^(bigfloat|view|generators|deep|engine|public)$'

echo "== sanitizer build"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=ON -DQV_SANITIZE=ON -DQV_TESTS=ON -DQV_BENCH=OFF -DQV_VIEWER=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing"
  bash scripts/fuzz.sh 60
fi
echo "all tests passed"
