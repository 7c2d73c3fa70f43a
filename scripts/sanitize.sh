#!/usr/bin/env bash
# The sanitizer jobs of CI, each in a build directory of its own:
#  - the engine and batch-command suites and the fuzz corpora under the address and undefined-behaviour
#    sanitizers (with float-cast-overflow), in build-asan/;
#  - the frame-cache and read-ahead suites under the thread sanitizer, in build-tsan/.
# scripts/sanitize.sh [asan|tsan] runs one of them; without an argument both. Each prints its time.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

# Suites of the engine and the batch command: everything but the window's.
ENGINE_SUITES='^(tst_(alignment|cache|cachestress|cancel|cli|colour|darks|demosaic|depth|engine|fits|globalalign|imagefiles|kernels|multipoint|quality|refinement|robustness|ser|sercli|speed_equivalence|stacking|texts)|fuzz_.*)$'
# Suites of the frame cache and the read-ahead.
THREAD_SUITES='^tst_(cache|cachestress)$'

configure() { # dir sanitizers
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEBULO_SANITIZE="$2" >/dev/null
}

targets() { # dir regex: the test executables CTest lists for the regex
  ctest --test-dir "$1" -N -R "$2" | sed -n 's/^ *Test *#[0-9]*: *\([^ ]*\).*/\1/p'
}

run_asan() {
  local start=$SECONDS
  configure build-asan "address,undefined"
  cmake --build build-asan --target nebulo-cli $(targets build-asan "$ENGINE_SUITES")
  # The toolkit keeps some allocations until exit: leaks are not this job's findings. An allocation
  # too large for the machine fails as it does without the sanitizer (null or std::bad_alloc), so the
  # out-of-memory paths are exercised instead of aborting.
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j2 -R "$ENGINE_SUITES"
  echo "address and undefined-behaviour sanitizer job: $((SECONDS - start)) s"
}

run_tsan() {
  local start=$SECONDS
  configure build-tsan thread
  cmake --build build-tsan --target $(targets build-tsan "$THREAD_SUITES")
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -R "$THREAD_SUITES"
  echo "thread sanitizer job: $((SECONDS - start)) s"
}

case "${1:-all}" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac
