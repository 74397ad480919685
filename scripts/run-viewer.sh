#!/usr/bin/env bash
# Builds the engine and the viewer, then starts the viewer from its program
# directory (beside the library and def.pal). Arguments go to the viewer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec build/bin/viewer "$@"
