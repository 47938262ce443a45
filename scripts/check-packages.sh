#!/usr/bin/env bash
# Checks the Debian packages that `scripts/build.sh package` makes, without
# installing them into the system:
#   scripts/check-packages.sh native DIR  unpacks the pair into a scratch root,
#       builds the example host against it with CMake, with g++ and pkg-config,
#       and with qmake, and runs each
#   scripts/check-packages.sh armhf DIR   architecture, file list, an ARM library,
#       and Depends covering what the library needs
# Both: the maintainer, a description of each, Multi-Arch of the runtime package.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
what=$1
dir=$2
version=$(sed -n 's/^project(logger VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
major=${version%%.*}

fail() {
    echo "check-packages: $*" >&2
    exit 1
}

# The control fields a user reads: who maintains it, what it is, and that the
# runtime packages of two architectures install side by side.
[ "$what" = armhf ] && arch=armhf || arch=$(dpkg --print-architecture)
for deb in "$dir/liblogger${major}_${version}_$arch.deb" "$dir/liblogger-dev_${version}_$arch.deb"; do
    maintainer=$(dpkg-deb -f "$deb" Maintainer)
    [[ $maintainer =~ ^[^@\<]+\ \<[^@]+@[a-z0-9.-]+\.[a-z]+\>$ && $maintainer != *localhost* ]] ||
        fail "$deb: Maintainer '$maintainer'"
    [ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 2 ] || fail "$deb: no description below the summary"
done
[ "$(dpkg-deb -f "$dir/liblogger${major}_${version}_$arch.deb" Multi-Arch)" = same ] ||
    fail "liblogger$major is not Multi-Arch: same"

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

work=$(mktemp -d /tmp/logger-packages-XXXXXX)
trap 'rm -rf "$work"' EXIT
# The pair unpacked as it would install, under $work/root; logger.pc names
# /usr as its prefix, so a copy of it names the scratch root instead, as the
# .pc of a prefix install does.
for deb in "$dir/liblogger${major}_${version}_$arch.deb" "$dir/liblogger-dev_${version}_$arch.deb"; do
    dpkg-deb -x "$deb" "$work/root"
done
libdir=$(cd "$work/root" && echo usr/lib/*/liblogger.so.$major | xargs dirname)
mkdir -p "$work/pkgconfig"
sed "s|^prefix=/usr\$|prefix=$work/root/usr|" "$work/root/$libdir/pkgconfig/logger.pc" >"$work/pkgconfig/logger.pc"
grep -qx "prefix=$work/root/usr" "$work/pkgconfig/logger.pc" || fail "logger.pc: $(head -n 1 "$work/pkgconfig/logger.pc")"
export PKG_CONFIG_PATH=$work/pkgconfig LD_LIBRARY_PATH=$work/root/$libdir

# The example host three ways, each in a folder of its own with the INI file.
mkdir -p "$work/cmake" "$work/pkg-config" "$work/qmake"
cmake -S "$root/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/root/usr" >/dev/null
cmake --build "$work/cmake" >/dev/null
# shellcheck disable=SC2046 # pkg-config's output is a list of options
g++ -std=c++17 -o "$work/pkg-config/demo_host" "$root/examples/demo_host.cpp" $(pkg-config --cflags --libs logger)
(cd "$work/qmake" && qmake "$root/examples/demo_host.pro" >/dev/null && make -s >/dev/null 2>&1)
for way in cmake pkg-config qmake; do
    cp "$root/examples/demo.ini" "$work/$way/"
    loaded=$(ldd "$work/$way/demo_host" | grep liblogger)
    grep -q "=> $work/root/$libdir/liblogger.so.$major " <<<"$loaded" || fail "$way: not the unpacked library: $loaded"
    (cd "$work/$way" && ./demo_host >"$work/$way/out" 2>&1) || { cat "$work/$way/out"; fail "$way: the host failed"; }
    grep -q "demo host started, pid [0-9]*, logger $version" "$work/$way"/demo-logs/unit7/service/log/*.log ||
        fail "$way: no start record"
done
echo "== $arch packages: unpacked into a scratch root, the example host built with CMake, pkg-config and qmake and run"
