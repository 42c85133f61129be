#!/usr/bin/env bash
# Builds kadrel if needed and runs kadrel-sample with the given accounts:
#   scripts/sample.sh <login> <password> <share directory> <writable 1|0> [...]
# The sample serves on ports 21 (control) and 20 (data): on Linux that needs
# root or CAP_NET_BIND_SERVICE. Press a key (or Return) to stop it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/bin/kadrel-sample ] || [ ! -f build/lib/libkadrel.so ]; then
    cmake -S . -B build >/dev/null
    cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target kadrel-sample >/dev/null
fi
exec build/bin/kadrel-sample "$@"
