#!/usr/bin/env bash
# Builds the server and the benchmark (CMake preset default) and runs the benchmark:
# the server binary under POS load against the simulated Elavon gateway and
# configuration service. Arguments go to kvr-bench (--clients N, --seconds S,
# --login-clients N, --binary PATH). Where other servers run on the machine, run it
# in a network namespace of its own (the server's instance locks are machine-wide).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/default/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default --target kvr-bench kvr-elavon-host
exec build/default/bench/kvr-bench "$@"
