#!/usr/bin/env bash
# Makes the README's pictures of the window: a simulated planet sequence (300 frames, written once
# into a temporary folder) through the window under a virtual display, pictures into docs/.
# Needs xvfb (xvfb-run); builds what it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake --build "$BUILD_DIR" --target make-seeing nebulo-screenshots
FRAMES=${FRAMES:-${TMPDIR:-/tmp}/nebulo-screenshots-planet}
if [ ! -f "$FRAMES/truth.png" ]; then
  "$BUILD_DIR/tools/make-seeing" planet "$FRAMES" 300 9
fi
xvfb-run -a -s "-screen 0 1600x1000x24" "$BUILD_DIR/app/nebulo-screenshots" "$FRAMES" docs
