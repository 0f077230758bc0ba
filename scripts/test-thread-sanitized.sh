#!/usr/bin/env bash
# Builds the libraries without the window toolkit and runs their tests under
# ThreadSanitizer: the queues, events, logger and sockets are shared by many threads.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan
