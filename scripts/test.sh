#!/usr/bin/env bash
# Builds everything and runs every test (unit, integration and end-to-end).
# Run from anywhere; the build lives in build/default.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
# The end-to-end tests run in a network namespace of their own where the machine
# allows one, so a server already running here keeps its instance locks; where it
# does not and such a server runs, the check says so in one line and the run stops.
check=build/default/tests/e2e/e2e_network_check
if [ -x "$check" ]; then "$check"; fi
ctest --preset default
