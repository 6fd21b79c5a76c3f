#!/usr/bin/env bash
# Sets up, builds and runs every test: an optimised build, a build under
# AddressSanitizer and UndefinedBehaviorSanitizer, a consumer project built
# against the installed package, a single-partition build without MPI, and
# the formatting check.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
bash scripts/setup.sh

step() { printf '\n== %s ==\n' "$*"; }

step "formatting"
bad=$(git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run 2>&1 | grep -c 'warning:' || true)
if [ "$bad" -ne 0 ]; then
  git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run 2>&1 | grep 'warning:' | head -20
  echo "formatting: $bad places differ from .clang-format (run clang-format -i)" >&2
  exit 1
fi

step "optimised build and tests"
cmake -S . -B build-ci -DCMAKE_BUILD_TYPE=Release -DQVL3D_BUILD_BENCH=ON >/dev/null
cmake --build build-ci -j"$jobs"
(cd build-ci && ctest --output-on-failure -j"$jobs")

step "sanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQVL3D_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs")

step "installed package and consumer"
rm -rf build-ci/stage build-consumer
cmake --install build-ci --prefix build-ci/stage >/dev/null
cmake -S examples/consumer -B build-consumer -DCMAKE_PREFIX_PATH="$root/build-ci/stage" >/dev/null
cmake --build build-consumer -j"$jobs" >/dev/null
LD_LIBRARY_PATH="$root/build-ci/stage/lib" build-consumer/consumer
echo "exported symbols:"
nm -DC --defined-only build-ci/stage/lib/libQVL3DTool.so | grep -c ' T ' 
if nm -DC --defined-only build-ci/stage/lib/libQVL3DTool.so | grep -E ' (T|W) ' | grep -q 'qvl3d::detail'; then
  echo "internal helpers leak out of the library" >&2
  exit 1
fi
step "single-partition build (no MPI, no METIS), its tests and its consumer"
cmake -S . -B build-serial -DCMAKE_BUILD_TYPE=Release -DQVL3D_WITH_MPI=OFF -DQVL3D_WITH_METIS=OFF >/dev/null
cmake --build build-serial -j"$jobs"
(cd build-serial && ctest --output-on-failure -j"$jobs")
rm -rf build-serial/stage build-consumer-serial
cmake --install build-serial --prefix build-serial/stage >/dev/null
cmake -S examples/consumer -B build-consumer-serial -DCMAKE_PREFIX_PATH="$root/build-serial/stage" >/dev/null
cmake --build build-consumer-serial -j"$jobs" >/dev/null
LD_LIBRARY_PATH="$root/build-serial/stage/lib" build-consumer-serial/consumer >/dev/null
echo "all checks passed"
