#!/usr/bin/env bash
# Builds kadrel (release) and runs the loopback benchmarks; prints figures.
# Needs about 2 GiB of free disk in the temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target serve_host >/dev/null
exec python3 bench/bench.py build-bench/bin/serve_host "${TMPDIR:-/tmp}"
