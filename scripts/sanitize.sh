#!/usr/bin/env bash
# The engine's C++ tests and the Python test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the C++ tests that run threads under ThreadSanitizer (g++; any
# report ends the run with a failure).
#
#   scripts/sanitize.sh           all C++ tests and the whole Python suite
#   scripts/sanitize.sh --quick   all C++ tests and the Python tests of the bindings, memory, threads
#                                 and the batched engine (what CI runs)
#   TAVRIN_SANITIZE_PYTHON=/path/to/python3.13 scripts/sanitize.sh   another interpreter (default python3)
#
# The interpreter itself is not instrumented, so the sanitizer runtime is preloaded into it;
# PYTHONMALLOC=malloc routes Python's objects through the sanitizer too, so a reference count
# released once too often shows up as a use after free instead of a silent reuse.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0
[ "${1:-}" = "--quick" ] && quick=1
py=${TAVRIN_SANITIZE_PYTHON:-python3}
cxx=${CXX:-g++}

log() { printf '\n== %s\n' "$*"; }

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

log "C++ tests under ASan+UBSan"
cmake -S . -B build/sanitize-cpp -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRIN_SANITIZE=ON -DTAVRIN_BUILD_TESTS=ON -DTAVRIN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/sanitize-cpp -j2
ctest --test-dir build/sanitize-cpp --output-on-failure --no-tests=error -j2

# ThreadSanitizer on the C++ tests that run threads: the once-only catalogue build (actions_test)
# and, where it exists, the batched engine's thread pool (vector_games_test). The other tests run
# one thread and gain nothing from it.
tsan_tests=()
for t in actions_test vector_games_test thread_pool_test; do
  [ -e "tests/cpp/$t.cpp" ] && tsan_tests+=("$t")
done
log "C++ thread tests under TSan: ${tsan_tests[*]}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
cmake -S . -B build/sanitize-thread -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DTAVRIN_BUILD_TESTS=ON -DTAVRIN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/sanitize-thread -j2 --target "${tsan_tests[@]}"
for t in "${tsan_tests[@]}"; do
  build/sanitize-thread/"$t" --gtest_brief=1
done

log "Python extension under ASan+UBSan ($py)"
venv=build/venv-sanitize
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis numpy
# The full run also needs the optional dependencies of the packaging tests.
target=".[test]"
[ "$quick" = 1 ] && target="."
CXX="$cxx" "$venv/bin/python" -m pip install -q --no-build-isolation -C build-dir=build/sanitize-wheel \
  -C cmake.build-type=RelWithDebInfo -C cmake.define.TAVRIN_SANITIZE=ON "$target"
# The sanitizer runtime must come first; the C++ runtime is preloaded with it because the
# interpreter does not link it, and the runtime's exception interceptor looks it up at start-up.
preload=""
for lib in libasan.so libstdc++.so; do
  path=$("$cxx" -print-file-name="$lib")
  [ -f "$path" ] || { echo "$lib not found for $cxx" >&2; exit 1; }
  preload="$preload $path"
done

if [ "$quick" = 1 ]; then
  # Every binding entry point and error path (module, persistence, leaks, properties), the thread
  # stress, and a few seeded games; the long random-play seeds and the packaging tests are left to
  # the full run.
  tests=(test_module.py test_persistence.py test_observe.py test_play.py test_leaks.py test_threads.py
         test_properties.py test_exit_fork_signals.py test_vector.py test_vector_properties.py
         test_agents.py test_bindings.py "test_random_play.py::test_every_frame_agrees_with_step_at_every_ply[0]")
else
  tests=(.)
fi
args=()
for t in "${tests[@]}"; do
  [ -e "tests/python/${t%%::*}" ] && args+=("$root/tests/python/$t")
done
log "Python tests under ASan+UBSan: ${#args[@]} selections"
# -m "": the slow tests too (the property runs above are the random call sequences that most
# often find a memory fault).
(cd build && LD_PRELOAD="${preload# }" PYTHONMALLOC=malloc \
  "$root/$venv/bin/python" -m pytest "${args[@]}" -q -p no:cacheprovider -m "")
log "sanitizer run clean"
