#!/usr/bin/env bash
# Sets everything up and runs the whole test suite, stage by stage, printing each
# stage's time:
#   1. set-up: the Debian packages the build needs (scripts/setup.sh);
#   2. the Windows compile check: driver/ and common/ against mingw-w64's DDK and
#      Wine's fltkernel.h, ctrl/ against mingw-w64's windows.h and fltuser.h
#      (scripts/wincheck.sh);
#   3. a plain build and every test of it (ctest: unit, concurrency, e2e and the
#      shipped scenarios);
#   4. the suite again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   5. the unit and concurrency tests under ThreadSanitizer;
#   6. every libFuzzer target (fuzz/, built with clang) for 30 seconds over its
#      seed corpus (scripts/fuzz.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

started=$(date +%s)
stage_started=$started
stage_name=""
# Ends the stage in progress (printing how long it took) and starts the next.
stage() {
  local now
  now=$(date +%s)
  if [ -n "$stage_name" ]; then
    echo "-- $stage_name: $((now - stage_started)) s"
  fi
  stage_name=$1
  stage_started=$now
  [ -n "$stage_name" ] && echo "== $stage_name"
  return 0
}

# The sanitizer builds are compiled at -O1 with line tables only: enough for the
# sanitizers and their reports, at a fraction of the compile time of -O2 -g.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1 -DNDEBUG")

run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure --timeout 300 -j"$(nproc)" "$@")
}

stage "set-up (Debian packages)"
"$root/scripts/setup.sh"

stage "Windows compile check (mingw-w64 DDK + Wine fltkernel.h, mingw-w64 SDK)"
"$root/scripts/wincheck.sh" "$root/build"

stage "plain build and tests"
"$root/scripts/build.sh" "$root/build"
run_ctest "$root/build"

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
"$root/scripts/build.sh" "$root/build-asan" -DKX_SANITIZE=address,undefined -DKX_BUILD_BENCH=OFF "${sanitizer_flags[@]}"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest "$root/build-asan"

stage "ThreadSanitizer (unit and concurrency tests)"
"$root/scripts/build.sh" "$root/build-tsan" -DKX_SANITIZE=thread -DKX_BUILD_BENCH=OFF "${sanitizer_flags[@]}"
# TSan needs a conventional address-space layout; setarch -R turns off the
# randomisation that newer kernels stretch beyond what it supports.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R \
  bash -c "cd '$root/build-tsan' && ctest --output-on-failure --timeout 300 -L 'concurrency|unit' -j$(nproc)"

stage "libFuzzer targets (clang, 30 s each over the seed corpus)"
"$root/scripts/fuzz.sh" "$root/build-fuzz" 30

stage ""
echo "== all stages passed in $(($(date +%s) - started)) s"
