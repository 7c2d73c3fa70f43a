#!/usr/bin/env bash
# Installs what is missing, builds Nebulo in Release and starts the window.
set -euo pipefail
cd "$(dirname "$0")"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo 'nebulo: no graphical session (DISPLAY is not set); start it on a desktop, or under a virtual display: xvfb-run -s "-screen 0 1600x1000x24" ./run.sh (the batch command nebulo-cli needs no display)' >&2
  exit 1
fi
bash scripts/ensure-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build --target nebulo
exec ./build/app/nebulo "$@"
