#!/usr/bin/env bash
# Runs one fuzz target with libFuzzer for a while: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# TARGET is a name from tests/fuzz (image, options, ...). The build (clang, address and undefined-
# behaviour sanitizers) goes to build-fuzz/; the run starts from the committed corpus and keeps what it
# finds in build-fuzz/corpus-TARGET/ (new inputs) and build-fuzz/findings-TARGET/ (crashes). Inputs
# worth keeping as regression tests are copied into tests/fuzz/TARGET/corpus/ by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
if [ ! -f "tests/fuzz/fuzz_${target}.cpp" ]; then
  echo "no fuzz target tests/fuzz/fuzz_${target}.cpp" >&2
  exit 2
fi
NEBULO_FUZZ_DEPS=1 bash scripts/ensure-deps.sh
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEBULO_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$BUILD_DIR" --target "fuzz_${target}"
corpus="$BUILD_DIR/corpus-${target}"
findings="$BUILD_DIR/findings-${target}"
mkdir -p "$corpus" "$findings"
export QT_QPA_PLATFORM=offscreen
# Leaks in the toolkit's one-time set-up are not findings; -rss_limit_mb bounds what one input may take.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$BUILD_DIR/tests/fuzz/fuzz_${target}" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 \
  -artifact_prefix="$findings/" -print_final_stats=1 "$@" "$corpus" "tests/fuzz/${target}/corpus"
