#!/usr/bin/env bash
# check.sh [PATTERN]: the daily loop. One incremental build in build/ with the
# options of scripts/test.sh's normal build (the two share the folder), then
# the tests whose names match PATTERN (ctest -R), or every quick test
# (every test not labelled long) without one. The long tests run with `ctest -L long` in
# build/, or in the full scripts/test.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
jobs="${ORVANT_JOBS:-$(nproc)}"
# Installs only what scripts/packages.txt lists and the machine lacks.
"$root/scripts/setup.sh"

# Configures only when the folder is new or was configured otherwise; the
# build itself reruns CMake when a CMakeLists.txt changed.
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANT_BENCH=OFF -DORVANT_WERROR=ON)
configured=1
for o in "${opts[@]}"; do
  kv="${o#-D}"
  grep -q -E "^${kv%%=*}:[A-Z]+=${kv#*=}\$" "$build/CMakeCache.txt" 2>/dev/null || configured=0
done
[ -f "$build/build.ninja" ] || configured=0
if [ $configured -eq 0 ]; then
  cmake -S "$root" -B "$build" -G Ninja "${opts[@]}" >/dev/null
fi
cmake --build "$build" -j"$jobs"

cd "$build"
# Every test is labelled quick or long (cmake/OrvantTest.cmake); one with
# neither runs with the quick ones, so it never drops out of the loop, and is
# named here so it gets its label.
unlabelled=$(ctest -N -LE '^(quick|long)$' | sed -n 's/^ *Test *#[0-9]*: //p')
if [ -n "$unlabelled" ]; then
  echo "check.sh: labelled neither quick nor long (orvant_add_test ... LONG, orvant_test_label), run as quick:" $unlabelled >&2
fi
if [ $# -gt 0 ]; then
  ctest --output-on-failure --no-tests=error -j"$jobs" -R "$1"
else
  ctest --output-on-failure -j"$jobs" -LE '^long$'
fi
