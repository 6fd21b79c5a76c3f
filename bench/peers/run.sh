#!/usr/bin/env bash
# Side-by-side comparison of our solvers with Eigen and PETSc on the same
# systems, in one run on one machine state, with the triad bandwidth and the
# byte model's bound. Installs what it needs (as root), builds in
# build-peers/, writes bench/peers/results/.
#
#   bash bench/peers/run.sh            full run (boxes in cache and streaming, two real matrices)
#   bash bench/peers/run.sh --quick    small boxes, one round: checks the pipeline in a minute
#
# The box edges come from the machine (bench_peers_sizes): the in-cache box
# is the largest at which every program's working set fits in a quarter of
# the last-level cache, the streaming box the smallest multiple of 32 at
# which every program's working set is at least four times that cache.
#
# Our program runs both roads: the front door (qvl3d::CSolver) and the
# entry points (CSingleGridSolver); the report sets them side by side and
# checks the entry points against bench/peers/baseline-entry-points.csv
# (the numbers of an earlier run, compared only on the same kind of machine).
#
# Options: --quick, --rounds N (default 3), --out DIR, --wait-idle SECONDS
# (wait up to that long for the load average to fall below 1.0 before
# starting; the load is recorded either way), --nice N (run the measuring
# programs at nice level N, e.g. -10 as root, so that other work on a shared
# machine takes less of their cores; recorded in the results).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"

quick=0
rounds=""
out="$here/results"
wait_idle=0
nice_level=0
edge_small=""
edge_big=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --rounds) rounds="$2"; shift ;;
    --out) out="$2"; shift ;;
    --wait-idle) wait_idle="$2"; shift ;;
    --nice) nice_level="$2"; shift ;;
    --in-cache-edge) edge_small="$2"; shift ;;
    --streaming-edge) edge_big="$2"; shift ;;
    *) echo "run.sh: unknown option '$1' (options: --quick --rounds N --out DIR --wait-idle SECONDS --nice N" \
            "--in-cache-edge N --streaming-edge N)" >&2
       exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh petsc-dev libeigen3-dev gnuplot-nox openmpi-bin libopenmpi-dev pkg-config

build="$root/build-peers"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQVL3D_BUILD_PEERS=ON -DQVL3D_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_peers_ours bench_peers_eigen bench_peers_petsc \
  bench_peers_stream bench_peers_report bench_peers_limits bench_peers_sizes test_peers >/dev/null
bin="$build/bench/peers"
"$bin/test_peers" --gtest_brief=1 >/dev/null || { echo "run.sh: the comparison's own checks fail (test_peers)" >&2; exit 1; }
matrices="$root/data/matrices"

run=(nice -n "$nice_level")
mpi=("${run[@]}" mpirun --oversubscribe)
[ "$(id -u)" -eq 0 ] && mpi+=(--allow-run-as-root)

# Sets llc_bytes, llc_level, llc_source, in_cache_edge, streaming_edge,
# streaming_fits, ws_min_per_cell, ws_max_per_cell.
sizes=$("$bin/bench_peers_sizes") || { echo "run.sh: cannot choose the box sizes (bench_peers_sizes)" >&2; exit 1; }
eval "$sizes"
in_cache_edge=${edge_small:-$in_cache_edge}
streaming_edge=${edge_big:-$streaming_edge}
[ "$streaming_fits" -eq 1 ] ||
  echo "run.sh: the last-level cache is too large for a streaming box within memory; using ${streaming_edge}^3" >&2

rtol=1e-8
if [ "$quick" -eq 1 ]; then
  rounds=${rounds:-1}
  # system:iteration limit:Gauss-Seidel sweeps
  plan=("poisson:16:10000:200" "convdiff:16:10000:200" "poisson:32:40:30" "convdiff:32:40:30"
        "mtx:pde900:10000:300")
  min_time=0.05
else
  small=$in_cache_edge
  big=$streaming_edge
  plan=("poisson:$small:10000:200" "convdiff:$small:10000:200" "poisson:$big:30:20" "convdiff:$big:30:20"
        "mtx:orsreg_1:10000:1000" "mtx:lap3D_7pt_n20:10000:1000")
  min_time=0.2
  rounds=${rounds:-3}
fi

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
raw="$work/raw.csv"

if [ "$wait_idle" -gt 0 ]; then
  for _ in $(seq "$wait_idle"); do
    awk '{ exit !($1 < 1.0) }' /proc/loadavg && break
    sleep 1
  done
fi
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)

echo "== triad bandwidth, 1 and 2 processes"
"${mpi[@]}" -n 2 "$bin/bench_peers_stream" | tee "$work/stream.csv"

for entry in "${plan[@]}"; do
  IFS=: read -r kind name maxit sweeps <<<"$entry"
  system="$kind:$name"
  common=(--system "$system" --matrices "$matrices" --rtol "$rtol" --maxit "$maxit" --gs-sweeps "$sweeps"
          --rounds 1 --min-time "$min_time" --out "$raw")
  # Rounds go round all the programs, so that a change in the machine's
  # state between rounds meets every program alike; the report takes the
  # medians over them.
  for round in $(seq "$rounds"); do
    echo "== $system, round $round of $rounds (iteration limit $maxit, Gauss-Seidel sweeps $sweeps)"
    "${run[@]}" "$bin/bench_peers_ours" "${common[@]}" --road both
    "${mpi[@]}" -n 2 "$bin/bench_peers_ours" "${common[@]}" --road both
    "${run[@]}" "$bin/bench_peers_eigen" "${common[@]}"
    "${mpi[@]}" -n 1 "$bin/bench_peers_petsc" "${common[@]}"
    "${mpi[@]}" -n 2 "$bin/bench_peers_petsc" "${common[@]}"
  done
done

# Time to solution at the largest boxes, one round, no cap: BiCGSTAB with
# DILU / ILU(0) on both boxes (both our roads); on the Poisson box also
# PETSc's CG with ILU(0), GMRES(30) with ILU(0) and Jacobi, GAMG and
# BoomerAMG (where PETSc has hypre), against our front door's CG with DILU
# and GMRES(30) with the diagonal and DILU. A row for another preconditioner
# of the front door (ilu0, amg) runs once the front door has it; until then
# it says that it has not.
ours_solved="bicgstab:dilu,cg:dilu:csr,gmres,cg:ilu0,cg:amg,bicgstab:amg"
petsc_solved="bicgstab:dilu,cg:dilu,gmres,cg:gamg,cg:hypre"
for entry in "${plan[@]}"; do
  IFS=: read -r kind name maxit sweeps <<<"$entry"
  [ "$kind" = mtx ] || [ "$maxit" -ge 10000 ] && continue
  system="$kind:$name"
  solved=(--system "$system" --label "$kind-$name/to-solution" --rtol "$rtol" --maxit 10000 --rounds 1
          --min-time 0 --out "$raw")
  if [ "$kind" = poisson ]; then
    echo "== $system to the tolerance: Krylov methods with single-grid and multigrid preconditioners"
    "${run[@]}" "$bin/bench_peers_ours" "${solved[@]}" --road front --only "$ours_solved"
    "${run[@]}" "$bin/bench_peers_ours" "${solved[@]}" --road entry --only bicgstab:dilu
    "${mpi[@]}" -n 1 "$bin/bench_peers_petsc" "${solved[@]}" --only "$petsc_solved"
  else
    echo "== $system to the tolerance: BiCGSTAB with DILU / ILU(0)"
    "${run[@]}" "$bin/bench_peers_ours" "${solved[@]}" --road both --only bicgstab:dilu
    "${mpi[@]}" -n 1 "$bin/bench_peers_petsc" "${solved[@]}" --only bicgstab:dilu
  fi
done

# What limits a pass (bandwidth or a dependence chain), on the same box.
: > "$work/limits.txt"
if [ "$quick" -eq 0 ]; then
  echo "== limits of a pass"
  QVL3D_LIMITS_SYSTEM="poisson:$big" "${run[@]}" "$bin/bench_peers_limits" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_out="$work/limits.json" --benchmark_out_format=json \
    | grep -E '^Benchmark|^-|median' | tee "$work/limits.txt"
fi

echo "== triad bandwidth again, at the end"
"${mpi[@]}" -n 2 "$bin/bench_peers_stream" | tail -n +2 | tee -a "$work/stream.csv"

# The byte model's passes, on the largest Poisson box of the plan.
model_system=$(printf '%s\n' "${plan[@]}" | grep '^poisson:' | tail -1 | cut -d: -f1-2)
"$bin/bench_peers_ours" --system "$model_system" --only none --model-out "$work/model.md" --out /dev/null

load_end=$(cut -d' ' -f1-3 /proc/loadavg)
elapsed=$(( $(date +%s) - started ))
{
  echo "Run of $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . || echo ' (with local changes)'), $elapsed s."
  echo
  echo "- Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GB;" \
       "$(uname -sr); load average $load_start at the start, $load_end at the end; measuring programs at nice $nice_level."
  echo "- Last-level cache: L$llc_level, $((llc_bytes / 1048576)) MiB ($llc_source$(
         v=$(getconf LEVEL3_CACHE_SIZE 2>/dev/null || true)
         [ -n "$v" ] && [ "$v" != 0 ] && [ "$v" != "$llc_bytes" ] && echo "; sysconf reports $((v / 1048576)) MiB for L3")); working sets" \
       "$ws_min_per_cell-$ws_max_per_cell bytes per cell over the configurations; box edges for this cache:" \
       "$in_cache_edge in cache, $streaming_edge streaming$([ -n "$edge_small$edge_big" ] && echo ' (given on the command line)')$([ "$quick" -eq 1 ] && echo ' (the quick run uses its own small boxes)')."
  echo "- Compiler: $(g++ --version | head -1); our build: Release (-O3), contraction off, no -march."
  echo "- Peers: Eigen $(pkg-config --modversion eigen3), PETSc $(pkg-config --modversion PETSc)," \
       "Open MPI $(mpirun --version 2>/dev/null | head -1 | awk '{print $NF}')."
  echo "- Relative tolerance $rtol on ||b-Ax||/||b|| from x = 0, b = A*x for a known x; $rounds round(s), medians;" \
       "each timed measurement repeated until it has run $min_time s."
  echo "- Iteration limits per system (Krylov / Gauss-Seidel sweeps): $(printf '%s ' "${plan[@]}" | sed 's/mtx://g')."
} > "$work/machine.txt"

rm -f "$out"/chart-*.dat "$out"/chart.png
cp "$work/raw.csv" "$work/stream.csv" "$work/model.md" "$out/"
[ -s "$work/limits.txt" ] && cp "$work/limits.txt" "$out/"
"$bin/bench_peers_report" --raw "$work/raw.csv" --stream "$work/stream.csv" --machine "$work/machine.txt" \
  --model "$work/model.md" --limits "$work/limits.txt" --llc "$llc_bytes" --out-dir "$out" \
  --baseline "$here/baseline-entry-points.csv" --cpu "$(lscpu | sed -n 's/^Model name: *//p')" --cores "$(nproc)"

# Chart: ns per cell per iteration by method, road and peer, one panel per system.
charts=("$out"/chart-*.dat)
if [ -e "${charts[0]}" ]; then
  {
    echo "set terminal pngcairo size 1200,$((420 * ${#charts[@]})) font ',10'"
    echo "set output '$out/chart.png'"
    echo "set multiplot layout ${#charts[@]},1"
    echo "set style data histograms; set style histogram clustered gap 1; set style fill solid 0.8 border -1"
    echo "set ylabel 'ns per cell per iteration'; set grid ytics; set key outside right; set yrange [0:*]"
    echo "set datafile missing 'NaN'"
    echo "array colour[9] = ['#40004b', '#7b3294', '#c2a5cf', '#00441b', '#1b7837', '#5aae61', '#e08214'," \
         "'#d7301f', '#9e9e9e']"
    for c in "${charts[@]}"; do
      title=$(basename "$c" .dat | sed 's/^chart-//')
      echo "set title '$title, 1 process'"
      echo "plot for [k=2:10] '$c' using k:xtic(1) title columnhead(k) lc rgb colour[k-1]"
    done
    echo "unset multiplot"
  } > "$work/chart.gp"
  gnuplot "$work/chart.gp"
fi
echo "results in $out (peers.md, peers.csv, summary.md, chart.png), $elapsed s"
