#!/usr/bin/env bash
# Sets everything up, then builds and runs every test: the normal build, a
# Release build (tests and benchmarks), the same suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded layers' suites under
# ThreadSanitizer, and a short run of every fuzz target.
# Warnings are errors in all of them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
jobs=$(nproc)
status=0
passed=0
failed=0
# stage NAME COMMAND...: runs one suite and counts it.
stage() {
  local name="$1"; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; echo "$name: FAILED"; fi
}

echo "== normal build"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANT_BENCH=OFF -DORVANT_WERROR=ON
stage "normal suite" bash -c "cd '$root/build' && ctest --output-on-failure -j$jobs"

echo "== release build (what a packager builds; benchmarks are measured from here)"
stage "release build" "$root/scripts/build.sh" "$root/build-release" -DCMAKE_BUILD_TYPE=Release -DORVANT_WERROR=ON

echo "== sanitizer build (ASan + UBSan)"
"$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DORVANT_SANITIZE=ON -DORVANT_BENCH=OFF -DORVANT_WERROR=ON
stage "sanitizer suite" bash -c "cd '$root/build-asan' && ctest --output-on-failure -j$jobs"

echo "== thread sanitizer build (the threaded layers: platform, wave devices, engine, voice archive)"
tsan_tests="test_platform test_wavedev test_wavedev_alsa test_wavedev_pulse test_audio test_upload test_collect test_collect_server test_collect_operator"
"$root/scripts/build.sh" "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANT_TSAN=ON -DORVANT_BENCH=OFF \
  -DORVANT_WERROR=ON -- $tsan_tests
stage "thread sanitizer suite" bash -c "cd '$root/build-tsan' && ctest --output-on-failure -j$jobs -R '^(${tsan_tests// /|})\$'"

echo "== fuzz targets (short runs)"
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANT_FUZZ=ON \
  -DORVANT_BENCH=OFF -DORVANT_WERROR=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$root/build-fuzz" --target fuzz_all
for f in "$root"/build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$root/fuzz/corpus/${name#fuzz_}"
  mkdir -p "$root/build-fuzz/corpus-$name"
  if "$f" -runs=20000 -max_len=4096 "$root/build-fuzz/corpus-$name" $( [ -d "$corpus" ] && echo "$corpus" ) >"$root/build-fuzz/$name.log" 2>&1; then
    echo "$name: ok ($(grep -o 'Done [0-9]* runs' "$root/build-fuzz/$name.log" || true))"
    passed=$((passed + 1))
  else
    echo "$name: FAILED"; tail -40 "$root/build-fuzz/$name.log"; status=1
    failed=$((failed + 1))
  fi
done

# Suites and fuzz targets, one count each.
echo "suites: $passed passed, $failed failed"
exit $status
