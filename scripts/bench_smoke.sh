#!/usr/bin/env bash
# A few iterations of every documented benchmark, so that none rots between the runs that measure
# (scripts/test.sh calls it; the figures printed here mean nothing, only that each script runs).
#
#   scripts/bench_smoke.sh PYTHON [numpy|torch]
#
# "numpy" (default): the benchmarks of the package without torch; "torch": those that need torch,
# sb3-contrib or torchrl (the [integration] venv). Each gets a time limit; the whole set stays
# within about a minute on a 2-core machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:?usage: scripts/bench_smoke.sh PYTHON [numpy|torch]}
set_name=${2:-numpy}
case "$set_name" in numpy|torch) ;; *) echo "unknown set $set_name: numpy or torch" >&2; exit 2 ;; esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"  # the installed package, not src/; files a benchmark writes land here

run() {  # run SECONDS SCRIPT ARGS...: fails the step when the script fails or overruns
  local limit=$1 script=$2
  shift 2
  local start=$SECONDS
  if ! timeout "$limit" "$py" "$root/benchmarks/$script" "$@" >"$work/out.txt" 2>&1; then
    cat "$work/out.txt"
    echo "benchmark smoke: $script $* failed (or ran past ${limit}s)" >&2
    return 1
  fi
  echo "benchmark smoke: $script $* ($((SECONDS - start)) s)"
}

if [ "$set_name" = numpy ]; then
  run 60 bench_envs.py 1 0.2
  run 60 bench_vector.py --games 32 --rounds 1 --seconds 0.1 --threads 1
  run 60 bench_python.py --games 2 --runs 1 --calls 50
  run 60 bench_mcts.py --games 8 --playouts 16 --rate-games 16
  run 60 bench_policy.py --runs 1
  run 60 bench_data.py --games 50 --rounds 1 --no-ray
  run 60 bench_agents.py --rounds 1 --seconds 0.2 --games 50
  run 60 bench_play.py 1
  run 60 bench_guided.py --games 4 plain:8 guided:8:0.5:4:0
  run 60 bench_net.py decision --games 4
  run 60 bench_net.py batched --games 8
  run 60 bench_pool.py --games 32 --rounds 1 --seconds 0.1
  bench=$root/build/cpp/tavrin_bench
  if [ -x "$bench" ]; then
    run 90 perf_table.py --bench "$bench" --games 32 --rounds 1 --seconds 0.1
    run 90 bench_kernels.py "$bench" "$bench" --rounds 1 --kernels portable --min-time 0.05 --filter 'BM_SelfPlayGame$'
  else
    echo "benchmark smoke: perf_table.py skipped, $bench not built"
  fi
else
  run 120 bench_sb3.py --envs 8 --iterations 1
  run 120 bench_torchrl.py --envs 8 --rounds 1 --seconds 0.2
  run 120 bench_net.py training --runs 1
  run 120 bench_rl_paths.py --games 8 --rounds 1 --seconds 0.1
fi
