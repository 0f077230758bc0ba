#!/usr/bin/env bash
# Builds the tree and runs the server against the simulated peers.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
echo "The server application is not built yet; the libraries and their tests are."
