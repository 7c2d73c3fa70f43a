#!/usr/bin/env bash
# Installs what is missing, builds Nebulo in Release and starts the window.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/ensure-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --target nebulo
exec ./build/app/nebulo "$@"
