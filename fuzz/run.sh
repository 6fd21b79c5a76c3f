#!/usr/bin/env bash
# Builds a fuzzer with clang, libFuzzer and the address and undefined-
# behaviour sanitizers, and runs it for SECONDS (default 300):
#   bash fuzz/run.sh [SECONDS] [matrix_market|options]
# matrix_market (the default) feeds any bytes to the Matrix Market matrix and
# vector readers and solves what they accept; options feeds them to the
# option parser and file check of qvl3d-solve as arguments split at NUL bytes.
# Not part of CI. Inputs that crash land in fuzz/crashers/: fix the fault,
# then keep a Matrix Market input under tests/host/corpus/ so the test suite
# replays it (an options input as a case of tests/apps/test_options.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
target=${2:-matrix_market}
case "$target" in
  matrix_market | options) ;;
  *) echo "fuzz/run.sh: unknown target '$target' (matrix_market or options)" >&2; exit 2 ;;
esac
bash scripts/setup.sh clang libclang-rt-14-dev
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQVL3D_BUILD_TESTS=OFF -DQVL3D_BUILD_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "fuzz_$target"
mkdir -p "build-fuzz/corpus-$target" fuzz/crashers
corpus=build-fuzz/corpus-$target
if [ "$target" = matrix_market ]; then
  cp tests/host/corpus/* "$corpus/"
  for m in pde900 nos6 gr_30_30; do
    f=data/matrices/$m.mtx
    [ -f "$f" ] && cp "$f" "$corpus/"
  done
  dict=fuzz/mm.dict
else
  printf -- '--grid\0008x4x2\000--method\000pcg\000--progress\0002' >"$corpus/seed-1"
  printf -- '--matrix=a.mtx\000--rhs\000b.mtx\000--output\000./a.mtx\000--json\000s.json' >"$corpus/seed-2"
  printf -- '--tol\0001e-400\000--velocity\0001,-2.5,0\000--plot\000r.SVG\000--renumber\000random\000--seed\0009' \
    >"$corpus/seed-3"
  dict=fuzz/options.dict
fi
exec "build-fuzz/fuzz/fuzz_$target" "$corpus" -dict="$dict" -max_len=8192 \
  -max_total_time="$seconds" -artifact_prefix=fuzz/crashers/ -print_final_stats=1
