#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test through CTest (offscreen).
# Under CI=true (or with NEBULO_SANITIZERS=1) the sanitizer jobs of scripts/sanitize.sh follow.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/ensure-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNEBULO_WERROR=$WERROR
cmake --build "$BUILD_DIR"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 "$@"
if [ "${CI:-}" = "true" ] || [ "${NEBULO_SANITIZERS:-}" = "1" ]; then
  bash scripts/sanitize.sh
fi
