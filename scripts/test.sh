#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the C++ and Python tests on every interpreter.
#   TAVRIN_PYTHONS="python3.11 /path/to/python3.13"  overrides the interpreters to test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

log() { printf '\n== %s\n' "$*"; }
RAY_VERSION=2.60.0  # what the Ray tests run on (Python 3.11)

# System packages: GoogleTest and Google Benchmark from Debian, and Chromium for the replay page's
# browser test (which skips, saying so, where Chromium cannot be installed).
need=()
for pkg in libgtest-dev libbenchmark-dev ninja-build chromium; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  log "installing ${need[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The interpreters: every CPython 3.11 or newer found (at least one). Under CI=true, 3.11 and 3.13
# are required, so that the oldest and newest supported versions are always tested.
find_python() {
  local v=$1 p
  for p in "python$v" "$HOME/.pyenv/versions/$v"*/bin/python3; do
    if command -v "$p" >/dev/null 2>&1 && "$p" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$v'.split('.')))" 2>/dev/null; then
      command -v "$p"
      return 0
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    p="$(pyenv root)/versions/$(pyenv versions --bare | grep -E "^$v(\.|$)" | tail -n1)/bin/python3"
    [ -x "$p" ] && { echo "$p"; return 0; }
  fi
  return 1
}
missing=()
if [ -n "${TAVRIN_PYTHONS:-}" ]; then
  read -r -a pythons <<<"$TAVRIN_PYTHONS"
else
  pythons=()
  for v in 3.11 3.12 3.13 3.14; do
    if p=$(find_python "$v"); then
      pythons+=("$p")
    else
      missing+=("$v")
      if [ "${CI:-}" = true ] && { [ "$v" = 3.11 ] || [ "$v" = 3.13 ]; }; then
        echo "Python $v not found, and CI requires it; install it (pyenv install $v) or set TAVRIN_PYTHONS" >&2
        exit 1
      fi
    fi
  done
  if [ ${#pythons[@]} -eq 0 ]; then
    echo "No Python 3.11 or newer found; install one or set TAVRIN_PYTHONS" >&2
    exit 1
  fi
fi
tested=()
for p in "${pythons[@]}"; do
  tested+=("$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])') ($p)")
done
log "Python versions to test: ${tested[*]}"
if [ ${#missing[@]} -gt 0 ]; then
  echo "not found, so not tested: Python ${missing[*]}"
fi

# C++: the engine's unit tests, and the benchmark target built (not timed) so it cannot rot.
log "C++ build and tests"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BUILD_TESTS=ON \
  -DTAVRIN_BUILD_BENCHMARKS=ON -DTAVRIN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure --no-tests=error -j2

# Python: a fresh virtual environment per interpreter, the package built and installed into it.
for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="build/venv-$ver"
  log "Python $ver ($py)"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
  # Ray and RLlib (without torch) on 3.11 only: heavy to install; their tests take ~40 s, and
  # the two-node cluster test (ray start on 127.0.0.1, token authentication) about 40 s more.
  # Ray is pinned to the version these tests last passed with.
  targets=(".[test]")
  cluster=0
  if [ "$ver" = 3.11 ]; then
    targets=(".[test,ray]" "ray[client,rllib]==$RAY_VERSION")
    cluster=1
  fi
  "$venv/bin/python" -m pip install -q --no-build-isolation "${targets[@]}"
  # Run from outside the source tree so the installed package, not src/, is imported.
  (cd build && TAVRIN_RL_TEST_RAY_CLUSTER=$cluster \
     "$root/$venv/bin/python" -m pytest "$root/tests/python" -q -p no:cacheprovider)
done

# Integration: the environments under the real RL libraries (sb3-contrib's MaskablePPO, TorchRL),
# on Python 3.11 only, in a venv of their own (torch alone is about 1 GB). When the [integration]
# extra cannot be installed the run goes on: the tests skip, printing which library is missing.
py311=""
for py in "${pythons[@]}"; do
  "$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' && { py311=$py; break; }
done
if [ -z "$py311" ]; then
  log "integration tests skipped: they run on Python 3.11, which is not among the interpreters"
else
  venv=build/venv-integration
  log "integration tests (Python 3.11, $venv)"
  [ -x "$venv/bin/python" ] || "$py311" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest
  if ! "$venv/bin/python" -m pip install -q --no-build-isolation ".[integration]"; then
    echo "could not install the [integration] extra; the tests of the missing libraries skip"
    "$venv/bin/python" -m pip install -q --no-build-isolation ".[pettingzoo]"
  fi
  (cd build && "$root/$venv/bin/python" -m pytest "$root/tests/integration" -q -ra \
     -p no:cacheprovider)
fi

# Sanitizers: the C++ tests and the whole Python suite again, built with ASan+UBSan, on the first
# interpreter (about 6 minutes from a clean tree). The C++ test fuzz_regression_test replays the
# fuzz corpus in both builds; scripts/fuzz.sh runs the fuzzer itself and is not part of CI.
log "sanitizers (scripts/sanitize.sh)"
TAVRIN_SANITIZE_PYTHON="${pythons[0]}" scripts/sanitize.sh

# Free-threaded CPython 3.13: the thread, leak, property, render-fault and batched-engine tests with
# the borrow flags as the only thing keeping threads apart. The interpreter is built from Debian's
# source once per machine (about 5 minutes) into ~/.cache/tavrin-rl and reused by later runs and
# fresh clones; TAVRIN_SKIP_FREE_THREADED=1 leaves this step out.
if [ "${TAVRIN_SKIP_FREE_THREADED:-0}" != 1 ]; then
  log "free-threaded CPython (scripts/free_threaded.sh)"
  scripts/free_threaded.sh
fi

log "all tests passed"
