#!/usr/bin/env bash
# Installs what is missing, builds, and runs one job:
#   scripts/build.sh demo    build and run the example host
#   scripts/build.sh test    the native leg, then the armhf leg; both results
#   scripts/build.sh native  build and pass every test on this machine
#   scripts/build.sh armhf   cross build for 32-bit ARM (build-armhf/) and pass
#                            every test under qemu-arm
#   scripts/build.sh bench [OPTIONS]
#                            Release build in build-bench/, run the benchmark,
#                            print its table (options: build-bench/bench/logger_bench --help)
set -euo pipefail
# Some tests run the host as user nobody: build trees must be readable by all.
umask 022

job=${1:-test}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bench_build=${BENCH_BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}

# Whether user nobody can reach a folder (only root's tests switch to it).
reachable_by_nobody() {
    [ "$(id -u)" -ne 0 ] || setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$1" 2>/dev/null
}

# The armhf tree, sysroot included, where nobody can reach it.
if [ -n "${ARMHF_BUILD_DIR:-}" ]; then
    armhf_build=$ARMHF_BUILD_DIR
elif reachable_by_nobody "$root"; then
    armhf_build=$root/build-armhf
else
    armhf_build=/var/tmp/logger-build-armhf-$(printf '%s' "$root" | md5sum | cut -c1-8)
fi

# armhf packages unpacked as the cross build's sysroot: Qt 5 Core, the
# libraries it loads, its CMake files (qt5-qmake brings the platform folder they
# check) and libfaketime for the tests that shift the clock.
armhf_packages=(libqt5core5a qtbase5-dev qt5-qmake libicu72 libglib2.0-0 libpcre2-16-0 libpcre2-8-0
                libzstd1 zlib1g libdouble-conversion3 libfaketime)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_updated=0
apt_update() {
    [ "$apt_updated" -eq 1 ] && return 0
    # May fail on one index (e.g. a mirror in sync) while the others are fine.
    as_root apt-get update -qq || echo "== apt-get update reported errors; going on with the indexes it has"
    apt_updated=1
}

install_missing() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        apt_update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

native_build() {
    install_missing cmake g++ make qtbase5-dev googletest faketime
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON "$@"
    cmake --build "$build" -j "$jobs"
}

# Fills $1 with the armhf packages; skipped when it holds these versions.
armhf_sysroot() {
    local sysroot=$1
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        echo "== adding the armhf architecture to apt"
        as_root dpkg --add-architecture armhf
        apt_updated=0
        apt_update
    elif ! apt-cache show libqt5core5a:armhf >/dev/null 2>&1; then
        apt_update
    fi
    local wanted=() pkg version
    for pkg in "${armhf_packages[@]}"; do
        version=$(apt-cache policy "$pkg:armhf" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
        if [ -z "$version" ] || [ "$version" = "(none)" ]; then
            echo "error: $pkg:armhf is not available from apt; the armhf leg needs Debian's armhf index" \
                 "(dpkg --add-architecture armhf && apt-get update)" >&2
            return 1
        fi
        wanted+=("$pkg:armhf=$version")
    done
    if [ -f "$sysroot/.packages" ] && [ "$(cat "$sysroot/.packages")" = "${wanted[*]}" ]; then
        return 0
    fi
    echo "== unpacking into $sysroot: ${wanted[*]}"
    rm -rf "$sysroot" "$sysroot.debs"
    mkdir -p "$sysroot" "$sysroot.debs"
    # Run as root, apt would hand the download to its own user, who cannot
    # write here.
    (cd "$sysroot.debs" && apt-get download -qq -o APT::Sandbox::User=root "${wanted[@]}")
    local deb
    for deb in "$sysroot.debs"/*.deb; do
        dpkg-deb -x "$deb" "$sysroot"
    done
    rm -rf "$sysroot.debs" "$sysroot/usr/share/doc"
    echo "${wanted[*]}" >"$sysroot/.packages"
}

armhf_leg() {
    echo "== armhf build in $armhf_build"
    install_missing cmake make g++-arm-linux-gnueabihf qemu-user qtbase5-dev-tools googletest
    # The toolchain file's default sysroot folder.
    armhf_sysroot "$armhf_build/armhf-sysroot"
    cmake -S "$root" -B "$armhf_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON -DLOGGER_BUILD_TESTS=ON
    cmake --build "$armhf_build" -j "$jobs"
    run_ctest "$armhf_build"
}

# ctest, its output kept beside the build for the summary of `test`.
run_ctest() {
    ctest --test-dir "$1" --output-on-failure -j "$jobs" --timeout 60 2>&1 | tee "$1/ctest.log"
    return "${PIPESTATUS[0]}"
}

# "NAME: P passed, F failed, S skipped" from a leg's ctest log, or why there
# is none. ctest counts skipped tests as passed.
summary() {
    local name=$1 rc=$2 log=$3/ctest.log line skipped
    line=$( { grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" 2>/dev/null || true; } | tail -n 1)
    skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log" 2>/dev/null || true)
    if [ -n "$line" ]; then
        echo "$line" | awk -v n="$name" -v s="$skipped" \
            '{ f = $4; t = $NF; printf "%s: %d passed, %d failed, %d skipped\n", n, t - f - s, f, s }'
    else
        echo "$name: no tests ran (exit $rc)"
    fi
}

case "$job" in
    demo)
        native_build -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_BENCH=OFF
        # Run from the build tree: the demo's relative LogPath lands there.
        cd "$build" && ./examples/demo_host
        ;;
    native)
        install_missing libspdlog-dev
        native_build -DLOGGER_BUILD_TESTS=ON -DLOGGER_BUILD_BENCH=ON
        run_ctest "$build"
        # The benchmark once on a few thousand records: a check of its
        # read-back, never of its timings.
        echo "== benchmark smoke run"
        "$build/bench/logger_bench" --records 4000 --reps 1 --strace-records 0
        # The installed package must serve a project of its own: the example.
        cmake --install "$build" --prefix "$build/stage" >/dev/null
        cmake -S "$root/examples" -B "$build/consumer" -DCMAKE_PREFIX_PATH="$build/stage" >/dev/null
        cmake --build "$build/consumer" -j "$jobs" >/dev/null
        echo "== the installed package builds the example host"
        ;;
    armhf)
        armhf_leg
        ;;
    bench)
        install_missing cmake g++ make qtbase5-dev libspdlog-dev strace
        echo "== Release build of the benchmark in $bench_build" >&2
        cmake -S "$root" -B "$bench_build" -DCMAKE_BUILD_TYPE=Release -DLOGGER_BUILD_BENCH=ON \
              -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_EXAMPLES=OFF >/dev/null
        cmake --build "$bench_build" -j "$jobs" --target logger_bench >/dev/null
        "$bench_build/bench/logger_bench" "${@:2}"
        ;;
    test)
        # Each leg in its own process, so that `set -e` holds inside it.
        rm -f "$build/ctest.log" "$armhf_build/ctest.log"
        start=$SECONDS
        native_rc=0
        bash "$0" native || native_rc=$?
        native_time=$((SECONDS - start))
        start=$SECONDS
        armhf_rc=0
        bash "$0" armhf || armhf_rc=$?
        armhf_time=$((SECONDS - start))
        echo "== native leg ${native_time} s (exit $native_rc), armhf leg ${armhf_time} s (exit $armhf_rc)"
        summary native "$native_rc" "$build"
        summary armhf "$armhf_rc" "$armhf_build"
        [ "$native_rc" -eq 0 ] && [ "$armhf_rc" -eq 0 ]
        ;;
    *)
        echo "usage: $0 demo|test|native|armhf|bench [bench options]" >&2
        exit 2
        ;;
esac
