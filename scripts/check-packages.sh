#!/usr/bin/env bash
# Checks the Debian packages that `scripts/build.sh package` makes:
#   scripts/check-packages.sh native DIR  installs the pair with dpkg -i, builds the
#       example host against it with CMake, with g++ and pkg-config, and with qmake,
#       runs each, then removes the pair
#   scripts/check-packages.sh armhf DIR   architecture, file list, an ARM library,
#       and Depends covering what the library needs
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
what=$1
dir=$2
version=$(sed -n 's/^project(logger VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
major=${version%%.*}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
fail() {
    echo "check-packages: $*" >&2
    exit 1
}

if [ "$what" = armhf ]; then
    runtime=$dir/liblogger${major}_${version}_armhf.deb
    dev=$dir/liblogger-dev_${version}_armhf.deb
    libdir=usr/lib/arm-linux-gnueabihf
    for deb in "$runtime" "$dev"; do
        [ "$(dpkg-deb -f "$deb" Architecture)" = armhf ] || fail "$deb is not for armhf"
    done
    # Each file list exactly (directories aside).
    list() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' '; }
    [ "$(list "$runtime")" = "./$libdir/liblogger.so.$major ./$libdir/liblogger.so.$version " ] ||
        fail "runtime files: $(list "$runtime")"
    expected_dev=$(printf './%s ' usr/include/logger/logger.h usr/include/logger/logger_extras.h \
        usr/include/logger/logger_version.h $libdir/cmake/logger/loggerConfig.cmake \
        $libdir/cmake/logger/loggerConfigVersion.cmake $libdir/cmake/logger/loggerTargets-relwithdebinfo.cmake \
        $libdir/cmake/logger/loggerTargets.cmake $libdir/liblogger.so $libdir/pkgconfig/logger.pc)
    [ "$(list "$dev")" = "$expected_dev" ] || fail "development files: $(list "$dev")"
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    dpkg-deb -x "$runtime" "$work"
    lib=$work/$libdir/liblogger.so.$version
    kind=$(file -b "$lib")
    [[ $kind == "ELF 32-bit LSB shared object, ARM, EABI5"* ]] || fail "not an ARM library: $kind"
    # Depends, set by hand: a package for every library it loads, and versions
    # that provide every symbol version it asks of libc and libstdc++.
    depends=$(dpkg-deb -f "$runtime" Depends)
    declare -A package_of=([libc.so.6]=libc6 [libm.so.6]=libc6 [ld-linux-armhf.so.3]=libc6 [libgcc_s.so.1]=libgcc-s1
                           [libstdc++.so.6]=libstdc++6 [libQt5Core.so.5]=libqt5core5a)
    for needed in $(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
        [ -n "${package_of[$needed]:-}" ] || fail "no package known for $needed"
        grep -q "${package_of[$needed]} " <<<"$depends" || fail "Depends lacks ${package_of[$needed]} for $needed"
    done
    newest() { readelf -V "$lib" | grep -o "Name: $1[0-9.]*" | sed "s/Name: $1//" | sort -V | tail -n 1; }
    minimum() { sed -n "s/.*$1 (>= \([0-9.]*\)).*/\1/p" <<<"$depends"; }
    at_most() { [ "$(printf '%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$2" ]; }
    # libc6 and libgcc-s1 name their versions as their symbol versions do;
    # libstdc++6 5.2 (GCC 5) provides up to GLIBCXX_3.4.21 and CXXABI_1.3.9.
    at_most "$(newest GLIBC_)" "$(minimum libc6)" || fail "needs GLIBC_$(newest GLIBC_): $depends"
    at_most "$(newest GCC_)" "$(minimum libgcc-s1)" || fail "needs GCC_$(newest GCC_): $depends"
    [ "$(minimum libstdc++6)" = 5.2 ] && at_most "$(newest GLIBCXX_)" 3.4.21 && at_most "$(newest CXXABI_)" 1.3.9 ||
        fail "needs GLIBCXX_$(newest GLIBCXX_) and CXXABI_$(newest CXXABI_): $depends"
    echo "== armhf packages: architecture, files, ARM library and Depends ($depends) checked"
    exit 0
fi

arch=$(dpkg --print-architecture)
work=$(mktemp -d /tmp/logger-packages-XXXXXX)
finish() {
    as_root dpkg -P liblogger-dev "liblogger$major" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap finish EXIT
# dpkg waits for no one: retry while another dpkg or apt holds its lock.
deadline=$((SECONDS + 120))
until as_root dpkg -i "$dir/liblogger${major}_${version}_$arch.deb" "$dir/liblogger-dev_${version}_$arch.deb" \
    >"$work/dpkg.out" 2>&1; do
    grep -q 'lock' "$work/dpkg.out" && [ "$SECONDS" -lt "$deadline" ] || { cat "$work/dpkg.out"; exit 1; }
    sleep 1
done

# The example host three ways, each in a folder of its own with the INI file.
mkdir -p "$work/cmake" "$work/pkg-config" "$work/qmake"
cmake -S "$root/examples" -B "$work/cmake" >/dev/null
cmake --build "$work/cmake" >/dev/null
# shellcheck disable=SC2046 # pkg-config's output is a list of options
g++ -std=c++17 -o "$work/pkg-config/demo_host" "$root/examples/demo_host.cpp" $(pkg-config --cflags --libs logger)
(cd "$work/qmake" && qmake "$root/examples/demo_host.pro" >/dev/null && make -s >/dev/null 2>&1)
for way in cmake pkg-config qmake; do
    cp "$root/examples/demo.ini" "$work/$way/"
    loaded=$(ldd "$work/$way/demo_host" | grep liblogger)
    grep -Eq "=> (/usr)?/lib/[^ ]*/liblogger.so.$major " <<<"$loaded" || fail "$way: not the installed library: $loaded"
    (cd "$work/$way" && ./demo_host >"$work/$way/out" 2>&1) || { cat "$work/$way/out"; fail "$way: the host failed"; }
    grep -q "demo host started, pid [0-9]*, logger $version" "$work/$way"/demo-logs/unit7/service/log/*.log ||
        fail "$way: no start record"
done
as_root dpkg -P liblogger-dev "liblogger$major" >/dev/null
! dpkg -s "liblogger$major" >/dev/null 2>&1 || fail "liblogger$major is still installed"
echo "== $arch packages: installed, the example host built with CMake, pkg-config and qmake and run, removed"
