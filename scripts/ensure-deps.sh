#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the window need, when they are missing.
# Sourced by run.sh and test.sh; safe to run again.
set -euo pipefail

NEBULO_PACKAGES=(
  g++            # C++17 compiler
  cmake          # build system
  ninja-build    # build backend
  qt6-base-dev   # QtCore, QtGui, QtWidgets, QtTest, QtConcurrent (+ GL headers, platform plugins)
  qt6-image-formats-plugins  # TIFF and further image formats
  fonts-dejavu-core          # a font for the window and the offscreen test platform
  pkg-config                 # finds the libraries below
  libspng-dev                # fast decoding of 8-bit PNG frames
  libcfitsio-dev             # FITS frames
  libnetpbm-dev              # PGM/PPM frames at every maxval
  libdeflate-dev             # compressing PNG results
)
# Fuzzing (scripts/fuzz.sh) and the sanitizer jobs of CI need clang's libFuzzer as well.
if [ -n "${NEBULO_FUZZ_DEPS:-}" ]; then
  NEBULO_PACKAGES+=(
    clang-14           # compiler with libFuzzer and the sanitizers
    libclang-rt-14-dev # libFuzzer's driver and the sanitizer run-time libraries
  )
fi

missing=()
for pkg in "${NEBULO_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
      echo "These packages are missing and this user cannot install them: ${missing[*]}" >&2
      exit 1
    fi
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
