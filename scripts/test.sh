#!/usr/bin/env bash
# Builds kadrel and runs every check: the native suite, the same suite under
# ThreadSanitizer and AddressSanitizer, and the export table of the shared
# library. Installs what a fresh Debian machine lacks (needs root for that).
# Ends non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

install_missing() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    command -v make >/dev/null || missing+=(make)
    command -v nm >/dev/null || missing+=(binutils)
    command -v python3 >/dev/null || missing+=(python3)
    command -v curl >/dev/null || missing+=(curl)
    command -v lftp >/dev/null || missing+=(lftp)
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    if [ ${#missing[@]} -gt 0 ]; then
        step "installing ${missing[*]}"
        if [ "$(id -u)" -ne 0 ]; then
            echo "missing: ${missing[*]}; run as root or install them" >&2
            exit 1
        fi
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# build_and_test <folder> [cmake options...]
build_and_test() {
    local dir=$1
    shift
    cmake -S "$root" -B "$root/$dir" -G "Unix Makefiles" "$@" >/dev/null
    cmake --build "$root/$dir" -j "$jobs" -- --no-print-directory >/dev/null
    (cd "$root/$dir" && ctest -j "$jobs" --output-on-failure --timeout 300)
}

check_linux_exports() {
    local expected actual
    expected=$(printf '%s\n' addUser isValidServerObj newServerObj removeServerObj setPorts start stop)
    actual=$(nm -D --defined-only "$root/build/lib/libkadrel.so" | awk '$2 == "T" || $2 == "W" || $2 == "D" || $2 == "B" || $2 == "V" || $2 == "i" {print $3}' | sort)
    if [ "$actual" != "$expected" ]; then
        echo "libkadrel.so exports differ from the seven functions:" >&2
        diff <(echo "$expected") <(echo "$actual") >&2 || true
        exit 1
    fi
    echo "libkadrel.so exports exactly the seven functions"
}

install_missing

step "native build and tests"
build_and_test build
check_linux_exports

step "ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    build_and_test build-tsan -DKADREL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo

step "AddressSanitizer"
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" \
    build_and_test build-asan -DKADREL_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo

step "all checks passed"
