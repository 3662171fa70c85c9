#!/usr/bin/env bash
# Installs what is missing, builds the launcher and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
set +e
./build/bin/halvorin-launcher "$@"
echo "halvorin-launcher exited with status $?"
