#!/usr/bin/env bash
# Build everything and run every test: a plain build, then AddressSanitizer +
# UndefinedBehaviorSanitizer over all tests, then ThreadSanitizer over the
# threaded ones. Exits non-zero on any failure.
#   scripts/test.sh            all three passes
#   scripts/test.sh --quick    the plain pass only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/deps.sh

jobs=$(nproc)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

run_pass() {
  local dir=$1 sanitize=$2 label_args=$3
  echo "=== build ${dir} (sanitize='${sanitize}') ==="
  cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTREL_SANITIZE="$sanitize" >/dev/null
  cmake --build "$root/$dir" -j"$jobs"
  echo "=== test ${dir} ==="
  # shellcheck disable=SC2086
  (cd "$root/$dir" && ctest --output-on-failure -j"$jobs" $label_args)
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_pass build "" ""
if [ $quick -eq 0 ]; then
  run_pass build-asan address "-LE consumer"
  run_pass build-tsan thread "-L threaded"
fi
echo "=== all test passes succeeded ==="
