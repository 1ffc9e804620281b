#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test: the suite in a
# release build, then the same suite under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
jobs="$(nproc)"

cmake -S . -B build -DCORVALET_TESTS=ON -DCORVALET_BENCHMARKS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions="$PWD/tools/lsan.supp"
cmake -S . -B build-asan -DCORVALET_SANITIZE=address,undefined \
  -DCORVALET_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"
