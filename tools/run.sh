#!/usr/bin/env bash
# Installs what is needed, builds CorvaletScan and starts it with the simulated camera
# (without --camera it drives real cameras through libgphoto2).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCORVALET_TESTS=OFF -DCORVALET_BENCHMARKS=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec build/app/corvaletscan --camera sim
