#!/usr/bin/env bash
# Makes the README's pictures of the window under a virtual display, into docs/:
#   scripts/screenshots.sh            all of them
#   scripts/screenshots.sh capture    only the window pictures with 1920x1440 frames
# - alignment-points.png, global-vs-multipoint.png: a simulated planet sequence (300 frames, written
#   once into a temporary folder) stacked through the window;
# - window-fit.png, window-100.png, window-running.png, and at 150% scaling (QT_SCALE_FACTOR=1.5)
#   window-150.png and tabs-150.png: a capture-like sequence of 1920x1440 frames (also written once).
# The window pictures are reduced to 256 colours (ImageMagick) to keep the repository small.
# Needs xvfb (xvfb-run) and imagemagick; builds what it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake --build "$BUILD_DIR" --target make-seeing nebulo-screenshots
if [ "${1:-all}" != capture ]; then
  FRAMES=${FRAMES:-${TMPDIR:-/tmp}/nebulo-screenshots-planet}
  if [ ! -f "$FRAMES/truth.png" ]; then
    "$BUILD_DIR/tools/make-seeing" planet "$FRAMES" 300 9
  fi
  xvfb-run -a -s "-screen 0 1600x1000x24" "$BUILD_DIR/app/nebulo-screenshots" "$FRAMES" docs
fi
CAPTURE=${CAPTURE:-${TMPDIR:-/tmp}/nebulo-screenshots-capture}
SHOTS=$(mktemp -d)
trap 'rm -rf "$SHOTS"' EXIT
xvfb-run -a -s "-screen 0 1600x1000x24" "$BUILD_DIR/app/nebulo-screenshots" --capture "$CAPTURE" "$SHOTS"
QT_SCALE_FACTOR=1.5 xvfb-run -a -s "-screen 0 2400x1600x24" \
  "$BUILD_DIR/app/nebulo-screenshots" --capture "$CAPTURE" "$SHOTS"
for shot in window-fit window-100 window-running window-150 tabs-150; do
  convert "$SHOTS/$shot.png" -dither None -colors 256 "PNG8:docs/$shot.png"
done
ls -l docs
