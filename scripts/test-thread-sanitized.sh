#!/usr/bin/env bash
# Builds the libraries without the window toolkit and runs their tests under
# ThreadSanitizer: the queues, events, logger and sockets are shared by many threads.
# The build uses clang, whose lock analysis (-Wthread-safety, an error) checks the
# lock rules written into the headers (platform/sync/thread_annotations.h).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan
# The end-to-end tests run in a network namespace of their own where the machine
# allows one, so a server already running here keeps its instance locks; where it
# does not and such a server runs, the check says so in one line and the run stops.
check=build/tsan/tests/e2e/e2e_network_check
if [ -x "$check" ]; then "$check"; fi
ctest --preset tsan
