#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the Windows compile check, a
# plain build, then the suite again under AddressSanitizer +
# UndefinedBehaviorSanitizer, then the concurrency tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

# The sanitizer builds are compiled at -O1 with line tables only: enough for the
# sanitizers and their reports, at a fraction of the compile time of -O2 -g.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1 -DNDEBUG")

run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure --timeout 300 -j"$(nproc)" "$@")
}

echo "== Windows compile check (mingw-w64 DDK + Wine fltkernel.h)"
"$root/scripts/wincheck.sh" "$root/build"

echo "== plain build"
"$root/scripts/build.sh" "$root/build"
run_ctest "$root/build"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
"$root/scripts/build.sh" "$root/build-asan" -DKX_SANITIZE=address,undefined -DKX_BUILD_BENCH=OFF "${sanitizer_flags[@]}"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest "$root/build-asan"

echo "== ThreadSanitizer (concurrency tests)"
"$root/scripts/build.sh" "$root/build-tsan" -DKX_SANITIZE=thread -DKX_BUILD_BENCH=OFF "${sanitizer_flags[@]}"
# TSan needs a conventional address-space layout; setarch -R turns off the
# randomisation that newer kernels stretch beyond what it supports.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R \
  bash -c "cd '$root/build-tsan' && ctest --output-on-failure --timeout 300 -L 'concurrency|unit' -j$(nproc)"

echo "== libFuzzer targets (clang, 30 s each over the seed corpus)"
"$root/scripts/fuzz.sh" "$root/build-fuzz" 30
