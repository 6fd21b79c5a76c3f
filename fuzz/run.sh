#!/usr/bin/env bash
# Builds the Matrix Market fuzzer with clang, libFuzzer and the address and
# undefined-behaviour sanitizers, and runs it for SECONDS (default 300).
# Not part of CI. Inputs that crash land in fuzz/crashers/: fix the fault,
# then keep the input under tests/host/corpus/ so the test suite replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
bash scripts/setup.sh clang libclang-rt-14-dev
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQVL3D_BUILD_TESTS=OFF -DQVL3D_BUILD_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_matrix_market
mkdir -p build-fuzz/corpus fuzz/crashers
cp tests/host/corpus/* build-fuzz/corpus/
for m in pde900 nos6 gr_30_30; do
  f=data/matrices/$m.mtx
  [ -f "$f" ] && cp "$f" build-fuzz/corpus/
done
exec build-fuzz/fuzz/fuzz_matrix_market build-fuzz/corpus -dict=fuzz/mm.dict -max_len=8192 \
  -max_total_time="$seconds" -artifact_prefix=fuzz/crashers/ -print_final_stats=1
