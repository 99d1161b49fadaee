#!/usr/bin/env bash
# fuzz.sh [DIR] [SECONDS]: builds every libFuzzer target (fuzz/CMakeLists.txt) with
# clang in its own build directory (default build-fuzz) and runs each over a copy
# of its seed corpus for SECONDS (default 30). Fails when a target finds a crash,
# a leak or a broken invariant; the reproducer is left in DIR/findings/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-fuzz}
seconds=${2:-30}

# clang and its libFuzzer runtime (Debian packages), only when missing.
missing=()
for p in clang libclang-rt-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKX_BUILD_FUZZ=ON -DKX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"${KX_JOBS:-$(nproc)}" --target fuzz_targets

list="$dir/fuzz/fuzz_targets.txt"
[ -s "$list" ] || { echo "no fuzz targets in $list" >&2; exit 1; }
mkdir -p "$dir/findings"
status=0
while read -r binary corpus; do
  name=$(basename "$binary")
  # New inputs go to a scratch copy: the seed corpus in the tree stays as committed.
  work="$dir/corpus-work/$name"
  rm -rf "$work"
  mkdir -p "$work"
  cp -r "$corpus/." "$work/"
  echo "== $name: ${seconds}s over $(find "$corpus" -type f | wc -l) seeds"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/findings/$name-" \
      "$work" 2>"$dir/$name.log"; then
    tail -40 "$dir/$name.log" >&2
    echo "FAILED: $name (log $dir/$name.log)" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" "$dir/$name.log" | tail -2
  fi
done <"$list"
exit $status
