#!/usr/bin/env bash
# CPython 3.14, the newest interpreter the test command tests, built from Debian's source package.
#
#   scripts/python314.sh           makes sure the interpreter exists (fetching and building it
#                                  once), then prints its path
#   scripts/python314.sh --fetch   only fetches the source, saying why when it cannot
#
# Debian 12 has no python3.14, nor has Debian 13; the testing and unstable releases do. Their
# source index is read in a private apt state (the system's sources stay as they are), and the
# upstream tarball of Debian's package is built as it comes (about 5 minutes of 2 cores when the
# machine is idle). As for the free-threaded 3.13 (scripts/free_threaded.sh), the interpreter is
# installed outside the clone, under ${XDG_CACHE_HOME:-~/.cache}/tavrin-rl/python-3.14, so that
# later runs and CI's fresh clones on the same machine reuse it; a marker file written last tells
# a finished install from one that was cut off, and a lock keeps two runs from building at once.
#
# Exit status: 0 with the interpreter, 3 when the source cannot be fetched here (the test command
# then keeps 3.13 as the newest), anything else when the build failed.
set -euo pipefail
cd "$(dirname "$0")/.."

cache=${TAVRIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-rl}
prefix=$cache/python-3.14
py=$prefix/bin/python3.14
# The releases whose source index has python3.14, in the order tried: testing, then unstable.
suites=${TAVRIN_PY314_SUITES:-forky sid}
src=$cache/python-3.14-src  # the fetched files, kept until the build has finished

if [ -f "$prefix/.complete" ]; then
  echo "$py"
  exit 0
fi

mkdir -p "$cache"
exec 9>"$cache/python-3.14.lock"
flock 9

# fetch: the package's source files into $src, from the first suite that has them. apt-get is
# run with the system's mirror and a private list folder kept in the cache: a later run only
# asks whether the index changed.
fetch() {
  [ -n "$(ls "$src"/python3.14_*.orig.tar.xz 2>/dev/null)" ] && return 0
  local uri suite
  uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1 | awk '{print $2}')
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
  for suite in $suites; do
    local state=$cache/apt-$suite
    rm -rf "$src.part"
    mkdir -p "$state/lists/partial" "$src.part"
    echo "deb-src $uri $suite main" >"$state/sources.list"
    # APT::Sandbox::User: the cache is root's own, where apt's download user cannot write.
    local apt_opts=(-o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
                    -o "Dir::State::Lists=$state/lists" -o APT::Sandbox::User=root)
    echo "fetching python3.14's source from Debian $suite ($uri)" >&2
    apt-get -qq "${apt_opts[@]}" update >&2 || continue
    # Every version the index lists, newest first: a mirror may not have the newest files yet.
    local version versions
    versions=$(apt-cache "${apt_opts[@]}" showsrc python3.14 2>/dev/null | awk '/^Version:/{print $2}' | sort -u -r -V)
    [ -n "$versions" ] || echo "Debian $suite lists no python3.14 source" >&2
    for version in $versions; do
      if (cd "$src.part" && apt-get -qq "${apt_opts[@]}" source --download-only "python3.14=$version" >&2); then
        rm -rf "$src" && mv "$src.part" "$src"
        return 0
      fi
      rm -f "$src.part"/*
    done
    rm -rf "$src.part"
  done
  echo "python3.14's source could not be fetched from Debian ($suites): see apt-get's messages above" >&2
  return 3
}

if [ "${1:-}" = --fetch ]; then
  fetch
  exit 0
fi

# Another run may have finished the build while this one waited for the lock.
if [ ! -f "$prefix/.complete" ]; then
  fetch || exit
  echo "building CPython 3.14 from Debian's source package into $prefix" >&2
  rm -rf "$prefix"
  work=$(mktemp -d "$cache/python-3.14-build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  tar -xf "$src"/python3.14_*.orig.tar.xz -C "$work"
  # nice: the build is a one-time cost, and the machine is usually shared.
  # The compiler's warnings go to a log, shown only when the build fails: they would bury the
  # test command's output.
  if ! (cd "$work"/Python-3.14* && nice -n 10 ./configure -q --prefix="$prefix" --with-ensurepip=install \
        && nice -n 10 make -s -j2 && make -s install) >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    echo "the CPython 3.14 build failed (the end of its log is above)" >&2
    exit 1
  fi
  # The modules the package and its tests need: a build without their headers leaves them out
  # silently, and the first sign would be a confusing failure in a test.
  "$py" -c 'import ssl, sqlite3, ctypes, lzma, bz2, zlib, _decimal, sys; assert sys.version_info[:2] == (3, 14)'
  touch "$prefix/.complete"
  rm -rf "$src"
fi
echo "$py"
