#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 45). Any crash or sanitizer report fails the run.
# A target's seed inputs, when it has some, are the folder <target>_corpus beside
# the CMakeLists.txt that declares it; they are read, never written. What a run
# finds goes to build/fuzz/corpus/<target>, crash inputs to build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-45}"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKVR_FUZZ=ON -DKVR_WITH_QT=OFF >/dev/null
lists=$(git ls-files '*CMakeLists.txt')
targets=$(grep -ho 'kvr_fuzzer([a-z_]*' $lists | sed 's/kvr_fuzzer(//' | sort -u)
cmake --build build/fuzz --target $targets
mkdir -p build/fuzz/artifacts
for t in $targets; do
  exe=$(find build/fuzz -type f -name "$t" -perm -u+x | head -n 1)
  corpus="$PWD/build/fuzz/corpus/$t"
  mkdir -p "$corpus"
  seeds=()
  for list in $(grep -l "kvr_fuzzer($t[ )]" $lists); do
    if [ -d "$(dirname "$list")/${t}_corpus" ]; then seeds+=("$(dirname "$list")/${t}_corpus"); fi
  done
  echo "fuzzing $t for ${seconds}s${seeds:+ (seeds: ${seeds[*]})}"
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$PWD/build/fuzz/artifacts/$t-" "$corpus" "${seeds[@]}" 2>&1 | tail -n 12
done
