#!/usr/bin/env bash
# Sets everything up, then builds and runs every test: the normal build, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short run of every fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
jobs=$(nproc)
status=0

echo "== normal build"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd "$root/build" && ctest --output-on-failure -j"$jobs") || status=1

echo "== sanitizer build (ASan + UBSan)"
"$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DORVANT_SANITIZE=ON -DORVANT_BENCH=OFF
(cd "$root/build-asan" && ctest --output-on-failure -j"$jobs") || status=1

echo "== fuzz targets (short runs)"
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANT_FUZZ=ON \
  -DORVANT_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$root/build-fuzz" --target fuzz_all
for f in "$root"/build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$root/fuzz/corpus/${name#fuzz_}"
  mkdir -p "$root/build-fuzz/corpus-$name"
  if "$f" -runs=20000 -max_len=4096 "$root/build-fuzz/corpus-$name" $( [ -d "$corpus" ] && echo "$corpus" ) >"$root/build-fuzz/$name.log" 2>&1; then
    echo "$name: ok ($(grep -o 'Done [0-9]* runs' "$root/build-fuzz/$name.log" || true))"
  else
    echo "$name: FAILED"; tail -40 "$root/build-fuzz/$name.log"; status=1
  fi
done

if [ $status -eq 0 ]; then echo "ALL TEST SUITES PASSED"; else echo "SOME TEST SUITES FAILED"; fi
exit $status
