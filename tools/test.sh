#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: the suite in a
# release build, the program under a window manager, its Debian package installed
# and used, then the same suite under AddressSanitizer and UBSan, the threaded
# parts under ThreadSanitizer, and each fuzz target for a fixed time.
# CORVALET_FUZZ_SECONDS sets the time per fuzz target (default 45).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

# Each stage's time is printed when the next begins.
stage_name=""
stage_start=$SECONDS
stage() {
  if [ -n "$stage_name" ]; then echo "== $stage_name took $((SECONDS - stage_start)) s"; fi
  stage_name="$1"
  stage_start=$SECONDS
  if [ -n "$stage_name" ]; then echo "== $stage_name"; fi
}

stage "dependencies"
bash tools/install-deps.sh

stage "release build and tests"
cmake -S . -B build -DCORVALET_TESTS=ON -DCORVALET_BENCHMARKS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

stage "desktop under a window manager"
# The program under openbox in Xvfb, worked by clicks and typing as an operator does.
timeout 600 bash tests/desktop/run.sh build --camera sim

stage "Debian package"
# The release build packaged, installed with apt, used from outside the tree and removed.
timeout 300 bash tests/package/run.sh build

stage "AddressSanitizer and UBSan"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions="$PWD/tools/lsan.supp"
# -O1 keeps the image-heavy tests (whole scans, the scan check) within their time limits;
# line tables (-g1) are all a report's stack needs, and build a quarter faster than -g.
cmake -S . -B build-asan -DCORVALET_SANITIZE=address,undefined \
  -DCORVALET_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" >/dev/null
cmake --build build-asan -j"$jobs"
# True when every test that failed in build directory $1 passed its whole body and then
# lost only LeakSanitizer's own exit-time scan, its tracer thread crashing ("Tracer caught
# signal"): a fault of the sanitizer's runtime that comes and goes, not of the code.
leak_scan_crashed_only() {
  local log="$1/Testing/Temporary/LastTest.log" failed="$1/Testing/Temporary/LastTestsFailed.log"
  local name output
  [ -s "$failed" ] || return 1
  while IFS=: read -r _ name; do
    output="$(awk -v test="$name" '/^[0-9]+\/[0-9]+ Test: / && substr($0, index($0, "Test: ") + 6) == test {
      on = 1
    } on {print} on && /^<end of output>/ {exit}' "$log")"
    grep -q '^Tracer caught signal' <<<"$output" || return 1
    grep -q 'LeakSanitizer has encountered a fatal error' <<<"$output" || return 1
    grep -q '^\[  PASSED  \]' <<<"$output" || return 1
    if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:|^\[  FAILED  \]' <<<"$output"; then
      return 1
    fi
  done <"$failed"
}
if ! ctest --test-dir build-asan --output-on-failure -j"$jobs"; then
  leak_scan_crashed_only build-asan || exit 1
  # Once more, with the same leak scan at their end; any failure now fails the stage.
  echo "LeakSanitizer's tracer crashed at the end of tests that passed; running them again"
  ctest --test-dir build-asan --output-on-failure --rerun-failed
fi

stage "ThreadSanitizer"
# The tests that run threads: the simulated rig's worker, messages posted across
# threads, whole scans (also with downloads slower than the patterns settle) and
# the program ending while the rig is busy.
tsan_tests='sdk/|platform/Messages|session/KoordinatorSim|app/EndToEnd|app/Lifecycle|app/AimReader|app/ScanLink|app/CalibrationWindow|reliability/Shutdown'
# The renderer's and the rig geometry's own tests judge pictures and figures, not threads:
# the same code runs on the rig's worker in sdk/sim and in the whole scans.
tsan_single='sdk/SimRender|sdk/SimGeometry'
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/tsan.supp"
# -O1 keeps the whole scans within their time limits.
cmake -S . -B build-tsan -DCORVALET_SANITIZE=thread -DCORVALET_TESTS=ON \
  -DCORVALET_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" >/dev/null
# Only their executables: test folder/name is built by target test_folder_name.
listing="$(ctest --test-dir build-tsan -N -R "$tsan_tests" -E "$tsan_single")"
tsan_targets=()
while read -r name; do
  tsan_targets+=("test_${name//\//_}")
done < <(sed -n 's/^ *Test *#[0-9]*: //p' <<<"$listing")
if [ "${#tsan_targets[@]}" -eq 0 ]; then
  echo "No test matches '$tsan_tests'" >&2
  exit 1
fi
cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}"
ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R "$tsan_tests" -E "$tsan_single"

stage "fuzzing"
fuzzers=(fuzz_download_item fuzz_point_settings)
fuzz_seconds="${CORVALET_FUZZ_SECONDS:-45}"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCORVALET_FUZZ=ON \
  -DCORVALET_SANITIZE=address,undefined -DCORVALET_TESTS=OFF -DCORVALET_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${fuzzers[@]}"
# Each fuzzer on a core of its own, at the same time.
fuzz_one() {
  local fuzzer="$1" work="build-fuzz/runs/$1"
  # A copy: the fuzzer adds what it finds to the corpus it is given.
  rm -rf "$work"
  mkdir -p "$work"
  cp -R "fuzz/corpus/$fuzzer" "$work/corpus"
  local dict=()
  if [ -f "fuzz/$fuzzer.dict" ]; then dict=(-dict="fuzz/$fuzzer.dict"); fi
  # Any crash, sanitizer report, leak, time-out or memory blow-up ends the run non-zero.
  "build-fuzz/fuzz/$fuzzer" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 "${dict[@]}" -artifact_prefix="$work/" "$work/corpus" \
    >"$work/log" 2>&1
}
fuzz_pids=()
for fuzzer in "${fuzzers[@]}"; do
  fuzz_one "$fuzzer" &
  fuzz_pids+=($!)
done
fuzz_failed=0
for i in "${!fuzzers[@]}"; do
  fuzzer="${fuzzers[$i]}"
  work="build-fuzz/runs/$fuzzer"
  if ! wait "${fuzz_pids[$i]}"; then
    tail -n 80 "$work/log" || true
    echo "$fuzzer failed; the input that did it is in $work/" >&2
    fuzz_failed=1
    continue
  fi
  echo "$fuzzer: $(grep -E '^Done [0-9]+ runs' "$work/log")"
done
if [ "$fuzz_failed" -ne 0 ]; then exit 1; fi
stage ""
