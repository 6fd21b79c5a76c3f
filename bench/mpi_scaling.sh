#!/usr/bin/env bash
# Strong scaling of BiCGSTAB (code 2) on a box, 1 rank against 2, with the
# DILU (1) and the diagonal (3) preconditioner. The two rank counts run in
# turn, several rounds, and the best time per iteration of each counts: on
# a shared machine the fastest run is the least disturbed one.
#
#   bash bench/mpi_scaling.sh [build dir] [edge] [iterations] [rounds]
set -euo pipefail
build=${1:-build}
edge=${2:-128}
iterations=${3:-30}
rounds=${4:-3}
program="$build/bench/bench_mpi_scaling"
[ -x "$program" ] || { echo "no $program: configure with -DQVL3D_BUILD_BENCH=ON and build it" >&2; exit 2; }
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
launch=(mpiexec)
mpiexec --version 2>/dev/null | grep -q "Open MPI" && launch+=(--oversubscribe --bind-to core)

best() { # ranks precond -> best ms per iteration over the repeats of one run
  "${launch[@]}" -n "$1" "$program" --edge "$edge" --iterations "$iterations" --precond "$2" --repeats 2 |
    tee -a "$log" | awk '/^result:/ && $4 == "ms_per_iteration" { print $5 }'
}
measure() { # ranks precond
  local t
  t=$(best "$1" "$2")
  [ -n "$t" ] || { echo "no time from $1 rank(s), preconditioner $2: see $log" >&2; exit 1; }
  echo "$t"
}
log=$(mktemp)
printf "box %d^3, BiCGSTAB, CSR layout, %d iterations per solve, %d rounds\n" "$edge" "$iterations" "$rounds"
# Two ranks need two free cores: other work on the machine shows in the load.
printf "load average at start: %s\n" "$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
printf "%-14s %14s %14s %9s\n" "preconditioner" "1 rank ms/it" "2 ranks ms/it" "speed-up"
for precond in 1 3; do
  one=1e300 two=1e300
  for ((r = 0; r < rounds; ++r)); do
    t1=$(measure 1 "$precond")
    t2=$(measure 2 "$precond")
    one=$(awk -v a="$one" -v b="$t1" 'BEGIN { print (b < a ? b : a) }')
    two=$(awk -v a="$two" -v b="$t2" 'BEGIN { print (b < a ? b : a) }')
  done
  name=$([ "$precond" = 1 ] && echo DILU || echo diagonal)
  awk -v n="$name" -v a="$one" -v b="$two" 'BEGIN { printf "%-14s %14.2f %14.2f %8.2fx\n", n, a, b, a / b }'
done
printf "load average at end:   %s\n" "$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "(every run's output: $log)"
