#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 60). Any crash or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKVR_FUZZ=ON -DKVR_WITH_QT=OFF >/dev/null
targets=$(grep -ho 'kvr_fuzzer([a-z_]*' $(git ls-files '*CMakeLists.txt') | sed 's/kvr_fuzzer(//' | sort -u)
cmake --build build/fuzz --target $targets
for t in $targets; do
  exe=$(find build/fuzz -type f -name "$t" -perm -u+x | head -n 1)
  corpus="$PWD/build/fuzz/corpus/$t"
  mkdir -p "$corpus"
  echo "fuzzing $t for ${seconds}s"
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
done
