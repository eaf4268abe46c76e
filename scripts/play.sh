#!/usr/bin/env bash
# Set-up and a game in one command: makes the venv .venv (when missing), installs the package into
# it (when missing, or when the sources changed since), then runs `python -m tavrin_rl` with the
# arguments given: with none, one game between four built-in agents.
#
#   bash scripts/play.sh                     # set up, then one game at the terminal
#   bash scripts/play.sh play                # you against three mcts, in your browser
#   TAVRIN_EXTRAS=arena,pettingzoo bash scripts/play.sh --help   # with extras installed too
#   TAVRIN_VENV=path  PYTHON=python3.13      # another venv folder, another interpreter
#
# The venv's package builds go to a CMake folder inside it (VENV/cmake, set in VENV/pip.conf), so
# a later `pip install --no-build-isolation '.[extra]'` in this venv compiles nothing, and no other
# venv (scripts/test.sh's, yours) recompiles or overwrites this one's build.
set -euo pipefail
start=$PWD
cd "$(dirname "$0")/.."
root=$(pwd)
venv=${TAVRIN_VENV:-.venv}
case "$venv" in /*) ;; *) venv="$root/$venv" ;; esac

python=""
for candidate in ${PYTHON:-python3 python3.13 python3.12 python3.11}; do
  if command -v "$candidate" >/dev/null 2>&1 &&
     "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
    python=$candidate
    break
  fi
done
if [ -z "$python" ]; then
  echo "scripts/play.sh: no CPython 3.11 or newer found (set PYTHON=/path/to/python3.11)" >&2
  exit 1
fi

if [ ! -x "$venv/bin/python" ]; then
  echo "making the venv $venv with $python"
  if ! "$python" -m venv "$venv"; then
    echo "scripts/play.sh: $python cannot make a venv (on Debian: apt-get install python3-venv)" >&2
    exit 1
  fi
fi
# Written each time: the folder is absolute, and the clone may have moved since.
printf '[global]\nconfig-settings = build-dir=%s/cmake\n' "$venv" >"$venv/pip.conf"

target="."
[ -n "${TAVRIN_EXTRAS:-}" ] && target=".[$TAVRIN_EXTRAS]"
stamp="$venv/.tavrin-installed"
changed=""
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$target" ]; then
  changed=$(find src CMakeLists.txt pyproject.toml -newer "$stamp" -type f -print -quit)
fi
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$target" ] || [ -n "$changed" ]; then
  echo "installing $target into $venv (the first time compiles the engine: a few CPU-minutes)"
  "$venv/bin/python" -m pip install -q --upgrade pip
  # the build's tools, kept in the venv, so that builds need no network and no isolation
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
  "$venv/bin/python" -m pip install -q --no-build-isolation "$target"
  echo "$target" >"$stamp"
  echo "installed; this venv: . $venv/bin/activate"
fi
# In the folder it was started from, where files the command writes (--html, --out) belong.
cd "$start"
exec "$venv/bin/python" -m tavrin_rl "$@"
