#!/usr/bin/env bash
# Loopback benchmarks of kadrel side by side with vsftpd (and pure-ftpd when
# it can be had); prints figures and a Markdown table. Builds build-bench
# (Release). Without --kadrel it measures that build; otherwise pass one or
# more serve_host binaries under column names, e.g.
#   scripts/bench.sh --kadrel after=build-bench/bin/serve_host \
#                    --kadrel before=/tmp/kadrel-before/bin/serve_host
# Other arguments go to bench/bench.py (--only 2,5, --workdir DIR).
# Needs about 1 GiB of free disk in $TMPDIR (or /tmp), and takes some minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target serve_host >/dev/null

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
apt_updated=
apt_update() { [ -n "$apt_updated" ] || { as_root apt-get update -qq && apt_updated=1; }; }
for tool in curl taskset; do
    command -v "$tool" >/dev/null || { apt_update; as_root apt-get install -y -qq curl util-linux >/dev/null; }
done

# Debian's FTP servers conflict with one another, so installing one removes
# the other. A peer that is not installed is unpacked from its package into
# build-bench/peers instead, which touches nothing on the system; only shared
# libraries it lacks are installed.
peer() {  # peer <package> <path of the program in the package>
    local package=$1 program=$2 root=build-bench/peers/$1
    if [ -x "$program" ]; then echo "$program"; return; fi
    if [ ! -x "$root$program" ]; then
        mkdir -p "$root"
        ( cd build-bench/peers && { apt-get download "$package" 2>/dev/null ||
            { apt_update && apt-get download "$package" 2>/dev/null; }; } ) >/dev/null || return 1
        dpkg-deb -x build-bench/peers/"$package"_*.deb "$root" || return 1
    fi
    if ldd "$root$program" | grep -q 'not found'; then
        apt_update
        as_root apt-get install -y -qq $(dpkg-deb -f build-bench/peers/"$package"_*.deb Depends |
            tr ',' '\n' | sed 's/^ *//;s/[ (].*//' | grep '^lib') >/dev/null
    fi
    echo "$root$program"
}

args=()
vsftpd=$(peer vsftpd /usr/sbin/vsftpd) || { echo "bench.sh: vsftpd is not available" >&2; exit 1; }
args+=(--vsftpd "$vsftpd")
if pure_ftpd=$(peer pure-ftpd /usr/sbin/pure-ftpd); then
    args+=(--pure-ftpd "$pure_ftpd" --pure-pw "$(dirname "$(dirname "$pure_ftpd")")/bin/pure-pw")
else
    echo "bench.sh: pure-ftpd is not available; its column is left out" >&2
fi
python=$(command -v /usr/bin/python3 || command -v python3)
exec "$python" bench/bench.py --workdir "${TMPDIR:-/tmp}" "${args[@]}" "$@"
