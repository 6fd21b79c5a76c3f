#!/usr/bin/env bash
# Sets up, builds and runs the main job: qvl3d-solve with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQVL3D_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target qvl3d-solve >/dev/null
exec build/apps/qvl3d-solve "$@"
