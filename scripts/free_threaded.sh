#!/usr/bin/env bash
# The hardening tests (threads, leaks, properties, random play, render faults, and the batched
# engine's tests when present) on a free-threaded CPython 3.13, where the module's borrow flags are
# all that keeps threads apart.
#
#   scripts/free_threaded.sh                 builds the interpreter once (see below), then tests
#   scripts/free_threaded.sh --build-only    only makes sure the interpreter exists
#   TAVRIN_FT_PYTHON=/path/python3.13t scripts/free_threaded.sh   uses an interpreter you already have
#
# Debian 12 has no free-threaded interpreter package, and pyenv's 3.13t needs a download this
# machine cannot make; Debian 13's python3.13 source package builds here with --disable-gil (about
# 5 minutes on 2 cores). The interpreter is installed outside the clone, under
# ${XDG_CACHE_HOME:-~/.cache}/tavrin-rl/, so CI's fresh clones on the same machine reuse it; a
# marker file written last tells a finished install from one that was cut off, and a lock keeps
# two runs from building at once.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

log() { printf '\n== %s\n' "$*"; }

build_only=0
[ "${1:-}" = "--build-only" ] && build_only=1

cache=${TAVRIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-rl}
prefix=$cache/python-3.13t
py=${TAVRIN_FT_PYTHON:-$prefix/bin/python3.13t}

build_interpreter() {
  mkdir -p "$cache"
  exec 9>"$cache/python-3.13t.lock"
  flock 9
  # Another run may have finished the build while this one waited for the lock.
  [ -f "$prefix/.complete" ] && return 0
  log "building a free-threaded CPython 3.13 from Debian's source package into $prefix"
  rm -rf "$prefix"
  local src
  src=$(mktemp -d "$cache/python-3.13t-src.XXXXXX")
  trap 'rm -rf "$src"' RETURN
  mkdir -p "$src/lists/partial"
  # The same mirror the system uses, the next release's source index, in a private apt state.
  local uri
  uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1 | awk '{print $2}')
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
  echo "deb-src $uri trixie main" >"$src/sources.list"
  local apt_opts=(-o "Dir::Etc::SourceList=$src/sources.list" -o Dir::Etc::SourceParts=/dev/null
                  -o "Dir::State::Lists=$src/lists")
  apt-get -qq "${apt_opts[@]}" update
  (cd "$src" && apt-get -qq "${apt_opts[@]}" source --download-only python3.13)
  tar -xf "$src"/python3.13_*.orig.tar.xz -C "$src"
  (cd "$src"/Python-3.13.* && ./configure -q --disable-gil --prefix="$prefix" --with-ensurepip=install \
    && make -s -j2 >/dev/null && make -s install >/dev/null)
  "$prefix/bin/python3.13t" -c 'import sys; assert not sys._is_gil_enabled()'
  touch "$prefix/.complete"
}

if [ -z "${TAVRIN_FT_PYTHON:-}" ] && [ ! -f "$prefix/.complete" ]; then
  build_interpreter
fi
[ -x "$py" ] || { echo "no free-threaded interpreter at $py" >&2; exit 1; }
[ "$build_only" = 1 ] && exit 0

log "free-threaded tests ($py)"
venv=build/venv-ft
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
# Newer hypothesis releases have no free-threaded wheel and build a Rust part from source; numpy
# stopped shipping free-threaded 3.13 wheels with 2.4 and would build from source for minutes.
"$venv/bin/python" -m pip install -q --only-binary numpy "scikit-build-core>=0.10" cmake ninja pytest "numpy<2.4" "hypothesis<6.140" \
  gymnasium pettingzoo
"$venv/bin/python" -m pip install -q --no-build-isolation -C build-dir=build/ft-wheel .
cd build
# No extension module may bring the global lock back when it is imported.
"$root/$venv/bin/python" - <<'PY'
import importlib, importlib.util, sys
for name in ("tavrin_rl", "tavrin_rl._tavrin", "tavrin_rl._engine"):
    if importlib.util.find_spec(name) is not None:
        importlib.import_module(name)
        assert not sys._is_gil_enabled(), f"importing {name} enabled the GIL"
PY
tests=()
for t in test_threads.py test_leaks.py test_properties.py test_random_play.py test_exit_fork_signals.py \
         test_vector.py test_vector_properties.py test_bindings.py; do
  [ -e "$root/tests/python/$t" ] && tests+=("$root/tests/python/$t")
done
# Without the slow tests (pyproject's addopts): those are long single-threaded runs (property
# sequences, whole games) that the GIL build has run on the same engine code; the threads are
# what this build adds, and those tests are not slow. TAVRIN_FT_SLOW=1 runs them too.
marks=()
[ "${TAVRIN_FT_SLOW:-0}" = 1 ] && marks=(-m "")
"$root/$venv/bin/python" -m pytest -q -p no:cacheprovider -ra --durations=5 "${marks[@]}" "${tests[@]}"
