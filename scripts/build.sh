#!/usr/bin/env bash
# Installs what is missing, builds, and runs one job:
#   scripts/build.sh demo    build and run the example host
#   scripts/build.sh test    the native leg, the armhf leg, the sanitizer legs
#                            and 30 s of each fuzz target; all results
#   scripts/build.sh native  build and pass every test on this machine
#   scripts/build.sh armhf   cross build for 32-bit ARM (build-armhf/) and pass
#                            every test under qemu-arm
#   scripts/build.sh bench [OPTIONS]
#                            Release build in build-bench/, run the benchmark,
#                            print its table (options: build-bench/bench/logger_bench --help)
#   scripts/build.sh stack   the armhf library with -fstack-usage (build-armhf-stack/):
#                            the stack of each function, largest first
#   scripts/build.sh asan    every test under AddressSanitizer and UBSan (build-asan/)
#   scripts/build.sh tsan    the tests of threads under ThreadSanitizer (build-tsan/)
#   scripts/build.sh fuzz [SECONDS]
#                            build the fuzz targets with Clang (build-fuzz/) and
#                            run each for SECONDS (30)
#   scripts/build.sh package Debian packages for this machine and for armhf,
#                            in build/packages/
#   scripts/build.sh sysroot only fill the armhf sysroot; prints its folder
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
    install_missing cmake g++ make qtbase5-dev googletest faketime libncurses-dev
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
    armhf_host
    package_armhf
    install_missing file binutils
    bash "$root/scripts/check-packages.sh" armhf "$build/packages"
    bash "$root/scripts/check-contrib.sh" "${armhf_run[@]}" "$armhf_build/examples/demo_host"
}

# The README's cross build of a host from its own folder: the example host
# against the library staged from the armhf tree, run under qemu-arm.
armhf_host() {
    local stage=$armhf_build/stage host=$armhf_build/myapp
    rm -rf "$stage" "$host"
    cmake --install "$armhf_build" --prefix "$stage" >/dev/null
    cp -r "$root/examples" "$host"
    (cd "$host" &&
        cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
              -DLOGGER_ARMHF_SYSROOT="$armhf_build/armhf-sysroot" -DCMAKE_FIND_ROOT_PATH="$stage" >/dev/null &&
        cmake --build build-armhf -j "$jobs" >/dev/null &&
        qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH="$stage/lib:$armhf_libs" build-armhf/demo_host \
            >demo.out 2>&1 || { cat demo.out; false; })
    echo "== a host in its own folder cross-builds against the staged library and runs under qemu-arm"
}

# Debian packages of one tree configured for /usr, so that the library goes
# to the multiarch folder; copied into $build/packages.
package_tree() {
    local tree=$1
    shift
    cmake -S "$root" -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DLOGGER_WERROR=ON \
          -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_EXAMPLES=OFF "$@" >/dev/null
    cmake --build "$tree" -j "$jobs" >/dev/null
    rm -rf "$tree/packages"
    (cd "$tree" && cpack -G DEB >/dev/null)
    mkdir -p "$build/packages"
    cp "$tree"/packages/*.deb "$build/packages/"
    echo "== packages:" "$tree"/packages/*.deb
}
package_native() {
    install_missing cmake g++ make qtbase5-dev dpkg-dev
    package_tree "$build/package"
}
package_armhf() {
    install_missing cmake make g++-arm-linux-gnueabihf qtbase5-dev-tools
    armhf_sysroot "$armhf_build/armhf-sysroot"
    # GNUInstallDirs picks the multiarch folder only for native builds.
    package_tree "$armhf_build/package" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
                 -DLOGGER_ARMHF_SYSROOT="$armhf_build/armhf-sysroot" -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf
}

# A parent project with this one as a subdirectory: <logger/logger.h> from
# the build tree, and its install holds only its own program.
parent_project() {
    local parent=$build/parent
    rm -rf "$parent"
    mkdir -p "$parent/src"
    cp "$root/examples/demo_host.cpp" "$parent/src/"
    printf '%s\n' "cmake_minimum_required(VERSION 3.16)" "project(parent LANGUAGES CXX)" \
        "add_subdirectory(\"$root\" logger)" "add_executable(demo_host demo_host.cpp)" \
        "target_link_libraries(demo_host PRIVATE logger::logger)" "install(TARGETS demo_host)" \
        >"$parent/src/CMakeLists.txt"
    cmake -S "$parent/src" -B "$parent/build" >/dev/null
    cmake --build "$parent/build" -j "$jobs" >/dev/null
    cmake --install "$parent/build" --prefix "$parent/install" >/dev/null
    [ "$(cd "$parent/install" && find . -type f)" = "./bin/demo_host" ] ||
        { echo "the parent project installs: $(cd "$parent/install" && find . -type f)"; return 1; }
    echo "== a parent project builds with the library as a subdirectory and installs only its own program"
}

# The README's host code is cut from the example host, which compiles: each
# line of its first C++ block is one of the example's, blanks aside.
readme_code() {
    local line example squeeze='s/^[[:space:]]*//; s/[[:space:]][[:space:]]*/ /g'
    example=$(sed "$squeeze" "$root/examples/demo_host.cpp")
    awk '/^```cpp$/ { n++; next } /^```$/ && n == 1 { exit } n == 1 && NF' "$root/README.md" | sed "$squeeze" |
        while IFS= read -r line; do
            grep -qxF -- "$line" <<<"$example" || { echo "README: not in examples/demo_host.cpp: $line"; exit 1; }
        done || return 1
    echo "== the README's host code is the example host's"
}

# An armhf program under qemu-arm, as ctest runs the tests.
armhf_libs=$armhf_build/armhf-sysroot/usr/lib/arm-linux-gnueabihf:$armhf_build/armhf-sysroot/lib/arm-linux-gnueabihf
armhf_run=(qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH="$armhf_libs")

# ctest, its output kept beside the build for the summary of `test`; more
# arguments select tests.
run_ctest() {
    local dir=$1
    shift
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 60 "$@" 2>&1 | tee "$dir/ctest.log"
    return "${PIPESTATUS[0]}"
}

# A native build with sanitizers in $1 (address or thread); more arguments go
# to ctest. Any report fails the test that caused it.
sanitizer_leg() {
    local dir=$1 sanitizer=$2
    shift 2
    install_missing cmake g++ make qtbase5-dev googletest faketime
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON -DLOGGER_BUILD_TESTS=ON \
          -DLOGGER_BUILD_EXAMPLES=OFF -DLOGGER_SANITIZE="$sanitizer"
    cmake --build "$dir" -j "$jobs"
    run_ctest "$dir" "$@"
}

fuzz_leg() {
    local seconds=$1 dir=${FUZZ_BUILD_DIR:-$root/build-fuzz} target rc=0
    install_missing cmake make clang libclang-rt-14-dev qtbase5-dev
    cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON \
          -DLOGGER_BUILD_FUZZ=ON -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_EXAMPLES=OFF
    cmake --build "$dir" -j "$jobs"
    # New inputs go to the build tree's corpus; the seeds in fuzz/ stay as
    # they are. A finding is saved as $dir/crash-<hash>.
    for target in line ini; do
        if [ "$target" = ini ] && [ "$(id -u)" -ne 0 ]; then
            echo "== ini_fuzzer skipped: the child it starts per input shuts itself in with chroot, which needs root"
            continue
        fi
        mkdir -p "$dir/corpus/$target"
        echo "== fuzzing $target for $seconds s"
        "$dir/fuzz/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/" \
            -dict="$root/fuzz/${target}.dict" "$dir/corpus/$target" "$root/fuzz/seeds/$target" \
            >"$dir/fuzz-$target.log" 2>&1 || rc=1
        grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$dir/fuzz-$target.log" || true
        if [ "$rc" -ne 0 ]; then
            tail -n 60 "$dir/fuzz-$target.log"
            return 1
        fi
    done
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
        readme_code
        parent_project
        package_native
        install_missing pkg-config qt5-qmake lnav rsyslog
        bash "$root/scripts/check-packages.sh" native "$build/packages"
        bash "$root/scripts/check-contrib.sh" "$build/examples/demo_host"
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
    stack)
        install_missing cmake make g++-arm-linux-gnueabihf qtbase5-dev-tools
        armhf_sysroot "$armhf_build/armhf-sysroot"
        stack_build=$root/build-armhf-stack
        cmake -S "$root" -B "$stack_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
              -DLOGGER_ARMHF_SYSROOT="$armhf_build/armhf-sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              -DLOGGER_STACK_USAGE=ON -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_EXAMPLES=OFF >/dev/null
        cmake --build "$stack_build" -j "$jobs" --target logger >/dev/null
        # bytes, kind, function (file:line:column:name)
        cat "$stack_build"/logger/CMakeFiles/logger.dir/*.su | awk -F'\t' '{ print $2 "\t" $3 "\t" $1 }' |
            sed "s|$root/||" | sort -n -r
        ;;
    asan)
        # The hosts that shift the clock preload libfaketime, which then comes
        # before the ASan runtime; ASan's check that it comes first is off, so
        # those tests run under ASan too (each library still reaches the next).
        export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
        sanitizer_leg "$root/build-asan" address
        ;;
    tsan)
        # The tests where threads meet: intake, level changes, the stop, the
        # stress test, a handler that logs, exit while threads log.
        sanitizer_leg "$root/build-tsan" thread -R 'Line|Level|Stop|Threads|Stress|HostScenario|Reliability'
        ;;
    fuzz)
        fuzz_leg "${2:-30}"
        ;;
    package)
        package_native
        package_armhf
        ;;
    sysroot)
        # The folder alone on the last line, for LOGGER_ARMHF_SYSROOT.
        armhf_sysroot "$armhf_build/armhf-sysroot"
        echo "$armhf_build/armhf-sysroot"
        ;;
    test)
        # Each leg in its own process, so that `set -e` holds inside it.
        legs=(native armhf asan tsan fuzz)
        dirs=("$build" "$armhf_build" "$root/build-asan" "$root/build-tsan" "")
        declare -A rc seconds
        for i in "${!legs[@]}"; do
            leg=${legs[$i]}
            [ -z "${dirs[$i]}" ] || rm -f "${dirs[$i]}/ctest.log"
            start=$SECONDS
            rc[$leg]=0
            bash "$0" "$leg" || rc[$leg]=$?
            seconds[$leg]=$((SECONDS - start))
        done
        status=0
        for i in "${!legs[@]}"; do
            leg=${legs[$i]}
            echo "== $leg leg ${seconds[$leg]} s (exit ${rc[$leg]})"
            [ "${rc[$leg]}" -eq 0 ] || status=1
        done
        for i in 0 1 2 3; do
            summary "${legs[$i]}" "${rc[${legs[$i]}]}" "${dirs[$i]}"
        done
        exit "$status"
        ;;
    *)
        echo "usage: $0 demo|test|native|armhf|package|sysroot|stack|asan|tsan|fuzz [SECONDS]|bench [bench options]" >&2
        exit 2
        ;;
esac
