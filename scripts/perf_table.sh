#!/usr/bin/env bash
# The docs' performance table in one command: builds tavrin_bench (Release, portable flags)
# and the package into build/perf-venv, then runs benchmarks/perf_table.py, which prints the table.
#   bash scripts/perf_table.sh > docs/snippets/perf_table.md    the table docs/performance.md shows
#   PYTHON=python3.13 bash scripts/perf_table.sh    another interpreter (default python3)
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BUILD_BENCHMARKS=ON \
  -DTAVRIN_BUILD_TESTS=OFF -DTAVRIN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/bench --target tavrin_bench >/dev/null
venv=build/perf-venv
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
"$venv/bin/python" -m pip install -q --no-build-isolation .
# From outside the source tree, so that the installed package is imported.
cd build && exec perf-venv/bin/python ../benchmarks/perf_table.py --bench bench/tavrin_bench "$@"
