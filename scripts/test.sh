#!/usr/bin/env bash
# Builds kadrel and runs every check: the native suite, the same suite under
# ThreadSanitizer and AddressSanitizer, the export table of the shared
# library, and hosts built against an installed copy (CMake package,
# pkg-config, Python ctypes); then the Windows DLL (64 and 32-bit,
# cross-compiled with MinGW-w64), its export and import tables, the suite
# and the host programs of both under Wine, and hosts built against the
# installed DLLs. Installs what a fresh Debian machine lacks (needs root for
# that). Ends non-zero on the first failure and prints how long each phase
# took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# Phases and their durations, printed as each one ends and again at the end.
phase=""
phase_start=$SECONDS
durations=()
end_phase() {
    if [ -n "$phase" ]; then
        local took=$((SECONDS - phase_start))
        printf -- '-- %s took %ds\n' "$phase" "$took"
        durations+=("$(printf '%4ds  %s' "$took" "$phase")")
    fi
    phase=""
}
step() {
    end_phase
    phase=$1
    phase_start=$SECONDS
    printf '\n== %s (%s)\n' "$1" "$(date +%T)"
}

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
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64)
    command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    command -v cc >/dev/null || missing+=(gcc)
    command -v pkg-config >/dev/null || missing+=(pkg-config)
    command -v wine >/dev/null || missing+=(wine)
    [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || missing+=(wine64)
    # Wine's 32-bit half (the loader in /usr/lib/wine/wine) runs the 32-bit
    # DLL; it comes from the i386 architecture.
    [ -x /usr/lib/wine/wine ] || missing+=(wine32:i386)
    if [ ${#missing[@]} -gt 0 ]; then
        step "installing ${missing[*]}"
        if [ "$(id -u)" -ne 0 ]; then
            echo "missing: ${missing[*]}; run as root or install them" >&2
            exit 1
        fi
        if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
        fi
        apt-get update -qq -o DPkg::Lock::Timeout=600
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
            "${missing[@]}" >/dev/null
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

# check_windows_dll <objdump> <dll>: the export table holds exactly the seven
# plain names (a cdecl export stays undecorated: no "_name", no "name@N"),
# and every imported DLL is the system's own, so that kadrel.dll runs with
# nothing shipped beside it.
check_windows_dll() {
    local objdump=$1 dll=$2 expected actual imports foreign
    expected=$(printf '%s\n' addUser isValidServerObj newServerObj removeServerObj setPorts start stop)
    actual=$("$objdump" -p "$dll" | awk '
        /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
        table && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next }
        table { table = 0 }' | sort)
    if [ "$actual" != "$expected" ]; then
        echo "$dll exports differ from the seven functions (decorated, missing or extra):" >&2
        diff <(echo "$expected") <(echo "$actual") >&2 || true
        exit 1
    fi
    imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ { print $3 }')
    foreign=$(echo "$imports" | grep -viE \
        '^(kernel32|ws2_32|shlwapi|shell32|advapi32|user32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$' || true)
    if [ -n "$foreign" ]; then
        echo "$dll imports DLLs that are not part of Windows:" >&2
        echo "$foreign" >&2
        exit 1
    fi
    echo "$dll exports exactly the seven functions and imports only $(echo $imports)"
}

# run_under_wine <folder> <program> [arguments...]: runs a Windows program
# from <folder>, where it finds kadrel.dll. The one Wine prefix is a WoW64
# one: it runs 64-bit and 32-bit programs alike.
wine_prefix="$root/build-win/wineprefix"
run_under_wine() {
    local dir=$1
    shift
    (cd "$dir" &&
        WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' WINEPREFIX="$wine_prefix" \
            timeout 900 wine "$@")
}

fail() {
    echo "$*" >&2
    exit 1
}

# install_into <build folder> <prefix> [objdump]: a fresh, stripped install,
# which must hold no debug information.
install_into() {
    local build=$1 prefix=$2 objdump=${3:-objdump} file
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" --strip >/dev/null
    for file in "$prefix"/bin/* "$prefix"/lib/*.so.*; do
        [ -f "$file" ] && ! [ -L "$file" ] || continue
        if "$objdump" -h "$file" | grep -q '\.debug_'; then
            fail "$file: debug information left after --strip"
        fi
    done
}

# expect_files <prefix> <path>...: each path exists under the prefix.
expect_files() {
    local prefix=$1 path
    shift
    for path in "$@"; do
        [ -e "$prefix/$path" ] || fail "not installed: $prefix/$path"
    done
}

# build_installed_host <folder> <cmake options...>: tests/install, a project
# that finds kadrel with find_package and links kadrel::kadrel.
build_installed_host() {
    local dir=$1
    shift
    rm -rf "$dir"
    cmake -S "$root/tests/install" -B "$dir" -G "Unix Makefiles" "$@" >/dev/null
    cmake --build "$dir" -- --no-print-directory >/dev/null
}

# check_linux_install <prefix>: installs build/ there, then builds and runs
# hosts the way other projects would: through find_package(kadrel), through
# a plain cc line with pkg-config, and the Python host of the README.
check_linux_install() {
    local prefix=$1 soname found flags
    install_into "$root/build" "$prefix"
    expect_files "$prefix" include/kadrel.h lib/libkadrel.so lib/libkadrel.so.1 \
        "lib/libkadrel.so.$version" bin/kadrel-sample lib/cmake/kadrel/kadrelConfig.cmake \
        lib/cmake/kadrel/kadrelConfigVersion.cmake lib/pkgconfig/kadrel.pc
    soname=$(readelf -d "$prefix/lib/libkadrel.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [ "$soname" = "libkadrel.so.${version%%.*}" ] || fail "SONAME is '$soname'"
    # The installed sample finds the installed library by itself.
    found=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/kadrel-sample" | awk -v so="$soname" '$1 == so { print $3 }')
    [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$prefix/lib/$soname")" ] ||
        fail "the installed kadrel-sample does not find $prefix/lib/$soname (found '$found')"

    build_installed_host "$scratch/host-cmake" -DCMAKE_PREFIX_PATH="$prefix"
    "$scratch/host-cmake/installed_host"
    # A host that asks for the next major version is refused, for its version.
    rm -rf "$scratch/host-cmake-next"
    if cmake -S "$root/tests/install" -B "$scratch/host-cmake-next" -DCMAKE_PREFIX_PATH="$prefix" \
        -DKADREL_WANTED=$((${version%%.*} + 1)) >"$scratch/host-cmake-next.log" 2>&1; then
        fail "find_package(kadrel $((${version%%.*} + 1))) accepted kadrel $version"
    fi
    grep -q "version: $version" "$scratch/host-cmake-next.log" ||
        fail "find_package failed for another reason: $(cat "$scratch/host-cmake-next.log")"

    [ "$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --modversion kadrel)" = "$version" ] ||
        fail "kadrel.pc does not say version $version"
    flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs kadrel)
    # shellcheck disable=SC2086 # the flags are meant to split into words
    cc "$root/tests/c_host.c" $flags -o "$scratch/host-pkg-config"
    readelf -d "$scratch/host-pkg-config" | awk '/\(NEEDED\)/ { print $NF }' | grep -qxF "[$soname]" ||
        fail "the pkg-config host does not record $soname"
    LD_LIBRARY_PATH="$prefix/lib" "$scratch/host-pkg-config"

    timeout 300 python3 "$root/tests/readme_example_test.py" "$root/README.md" "$prefix/lib"
    printf 'installed libkadrel.so.%s (stripped): %s bytes\n' "$version" \
        "$(stat -c %s "$prefix/lib/libkadrel.so.$version")"
}

# The project's version, and a scratch folder for installs and their hosts.
version=$(sed -n 's/^project(kadrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
scratch="$root/build-install"
mkdir -p "$scratch"

install_missing

step "native build and tests"
build_and_test build
check_linux_exports

step "install (Linux): CMake package, pkg-config, Python ctypes"
check_linux_install "$scratch/linux"

step "ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    build_and_test build-tsan -DKADREL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo

step "AddressSanitizer"
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" \
    build_and_test build-asan -DKADREL_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo

step "Windows 64-bit build (MinGW-w64)"
cmake -S "$root" -B "$root/build-win" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$root/build-win" -j "$jobs" -- --no-print-directory >/dev/null
check_windows_dll x86_64-w64-mingw32-objdump "$root/build-win/bin/kadrel.dll"

step "Windows 32-bit build (MinGW-w64)"
cmake -S "$root" -B "$root/build-win32" -G "Unix Makefiles" -DKADREL_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" >/dev/null
cmake --build "$root/build-win32" -j "$jobs" -- --no-print-directory >/dev/null
check_windows_dll i686-w64-mingw32-objdump "$root/build-win32/bin/kadrel.dll"

step "Windows suite and hosts under Wine"
win64="$root/build-win/bin"
# The first run creates the prefix (some seconds); its messages are not ours.
run_under_wine "$win64" wineboot --init >/dev/null 2>&1 || true
run_under_wine "$win64" kadrel_tests.exe
run_under_wine "$win64" c_host.exe
run_under_wine "$win64" dll_host.exe
# The sample's console output (and a login on port 21), and real clients
# against serve_host.exe, with the same scripts as on Linux.
(cd "$win64" &&
    export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' WINEPREFIX="$wine_prefix" &&
    timeout 600 python3 "$root/tests/sample_test.py" wine kadrel-sample.exe &&
    timeout 600 python3 "$root/tests/clients_test.py" wine serve_host.exe)

step "Windows 32-bit suite and hosts under Wine"
# The DLL that most older hosts load, and where the calling convention and
# the one-byte results matter most: the suite, the host linked against it,
# and the one that finds the exports by name and calls them through cdecl
# pointers with byte results.
win32="$root/build-win32/bin"
run_under_wine "$win32" kadrel_tests.exe
run_under_wine "$win32" c_host.exe
run_under_wine "$win32" dll_host.exe

step "install (Windows): hosts linked against the installed import libraries"
# tests/install for each DLL, with the DLL shipped next to the host.
for bits in 64 32; do
    if [ "$bits" = 64 ]; then
        build="$root/build-win" triplet=x86_64-w64-mingw32 toolchain=mingw-w64-x86_64.cmake
    else
        build="$root/build-win32" triplet=i686-w64-mingw32 toolchain=mingw-w64-i686.cmake
    fi
    prefix="$scratch/windows$bits"
    install_into "$build" "$prefix" "$triplet-objdump"
    expect_files "$prefix" include/kadrel.h bin/kadrel.dll lib/libkadrel.dll.a bin/kadrel-sample.exe \
        lib/cmake/kadrel/kadrelConfig.cmake lib/pkgconfig/kadrel.pc
    check_windows_dll "$triplet-objdump" "$prefix/bin/kadrel.dll"
    # The toolchain searches packages only below the MinGW-w64 root, so the
    # package folder is named directly.
    build_installed_host "$scratch/host-windows$bits" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -Dkadrel_DIR="$prefix/lib/cmake/kadrel"
    cp "$prefix/bin/kadrel.dll" "$scratch/host-windows$bits/"
    run_under_wine "$scratch/host-windows$bits" installed_host.exe
    printf 'installed kadrel.dll (%s-bit, stripped): %s bytes\n' "$bits" \
        "$(stat -c %s "$prefix/bin/kadrel.dll")"
done
# Wine's server for this prefix ends a few seconds after its last program.
WINEPREFIX="$wine_prefix" wineserver -w

end_phase
printf '\n== phase durations\n'
printf '%s\n' "${durations[@]}"
printf '\n== all checks passed (%s)\n' "$(date +%T)"
