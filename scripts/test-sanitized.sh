#!/usr/bin/env bash
# Builds and runs the tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset asan >/dev/null
cmake --build --preset asan
# The end-to-end tests run in a network namespace of their own where the machine
# allows one, so a server already running here keeps its instance locks; where it
# does not and such a server runs, the check says so in one line and the run stops.
check=build/asan/tests/e2e/e2e_network_check
if [ -x "$check" ]; then "$check"; fi
ctest --preset asan
