#!/usr/bin/env bash
# The hardening tests (threads, leaks, properties, random play) on a free-threaded CPython 3.13,
# where the module's borrow flags are all that keeps threads apart.
#
#   scripts/free_threaded.sh                 builds the interpreter once into build/python-ft, then tests
#   TAVRIN_FT_PYTHON=/path/python3.13t scripts/free_threaded.sh   uses an interpreter you already have
#
# Debian 12 has no free-threaded interpreter package, and pyenv's 3.13t needs a download this
# machine cannot make; Debian 13's python3.13 source package builds here with --disable-gil (about
# 5 minutes on 2 cores). Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

log() { printf '\n== %s\n' "$*"; }

py=${TAVRIN_FT_PYTHON:-$root/build/python-ft/bin/python3.13t}
if [ ! -x "$py" ]; then
  log "building a free-threaded CPython 3.13 from Debian's source package"
  src=$root/build/python-ft-src
  rm -rf "$src"
  mkdir -p "$src/lists/partial"
  # The same mirror the system uses, the next release's source index, in a private apt state.
  uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1 | awk '{print $2}')
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
  echo "deb-src $uri trixie main" >"$src/sources.list"
  apt_opts=(-o "Dir::Etc::SourceList=$src/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$src/lists")
  apt-get -qq "${apt_opts[@]}" update
  (cd "$src" && apt-get -qq "${apt_opts[@]}" source --download-only python3.13)
  tar -xf "$src"/python3.13_*.orig.tar.xz -C "$src"
  (cd "$src"/Python-3.13.* && ./configure -q --disable-gil --prefix="$root/build/python-ft" --with-ensurepip=install \
    && make -s -j2 >/dev/null && make -s install >/dev/null)
fi

log "free-threaded tests ($py)"
venv=build/venv-ft
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
# Newer hypothesis releases have no free-threaded wheel and build a Rust part from source.
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest numpy "hypothesis<6.140"
"$venv/bin/python" -m pip install -q --no-build-isolation -C build-dir=build/ft-wheel .
cd build
# The module must not bring the global lock back when it is imported.
"$root/$venv/bin/python" -c 'import sys, tavrin_rl; assert not sys._is_gil_enabled(), "importing tavrin_rl enabled the GIL"'
"$root/$venv/bin/python" -m pytest -q -p no:cacheprovider -rA "$root/tests/python/test_threads.py" \
  "$root/tests/python/test_leaks.py" "$root/tests/python/test_properties.py" "$root/tests/python/test_random_play.py"
