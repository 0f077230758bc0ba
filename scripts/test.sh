#!/usr/bin/env bash
# Builds everything and runs every test (unit, integration and end-to-end).
# Run from anywhere; the build lives in build/default.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
