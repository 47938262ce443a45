#!/usr/bin/env bash
# Installs what is missing, builds, and runs one job:
#   scripts/build.sh demo    build and run the example host
#   scripts/build.sh test    the native leg, the armhf leg, the sanitizer legs
#                            and 30 s of each fuzz target; all results. The
#                            machine is left as found, but for the packages
#                            installed: the Debian packages are checked
#                            unpacked, rsyslogd runs privately and is stopped
#   scripts/build.sh native  build and pass every test on this machine
#   scripts/build.sh armhf   cross build for 32-bit ARM (build-armhf/) and pass
#                            every test under qemu-arm
#   scripts/build.sh bench [OPTIONS]
#                            Release build in build-bench/, run the benchmark,
#                            print its table (options: build-bench/bench/logger_bench --help)
#   scripts/build.sh locks [CTEST ARGS]
#                            the library with each write lock (LOGGER_WRITE_LOCK:
#                            own, std, adaptive) in build-lock-<kind>/, and the
#                            tests where threads meet the lock (or those CTEST
#                            ARGS choose); not part of test
#   scripts/build.sh stack   the armhf library with -fstack-usage (build-armhf-stack/):
#                            the stack of each function, largest first
#   scripts/build.sh asan    every test under AddressSanitizer and UBSan (build-asan/)
#   scripts/build.sh tsan    the tests of threads under ThreadSanitizer (build-tsan/)
#   scripts/build.sh fuzz [SECONDS]
#                            build the fuzz targets with Clang (build-fuzz/) and
#                            run each for SECONDS (30)
#   scripts/build.sh package Debian packages for this machine and for armhf,
#                            in build/packages/
#   scripts/build.sh sysroot only fill the armhf sysroot (at once when it is
#                            complete); prints its folder
# Each step prints one line; its full output goes to a file in build-logs/
# (LOG_DIR chooses another folder), whose end is printed when the step fails.
set -euo pipefail
# Some tests run the host as user nobody: build trees must be readable by all.
umask 022

job=${1:-test}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bench_build=${BENCH_BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}
logs=${LOG_DIR:-$root/build-logs}
export LOG_DIR=$logs

step_no=0
# Runs "$@" with its output in a log file of its own. Prints the lines of the
# log that begin with "== " (the step's results), or else its name, with the
# time taken; on failure the end of the log, and the script stops.
step() {
    local name=$1 log rc=0 start=$SECONDS results
    shift
    step_no=$((step_no + 1))
    mkdir -p "$logs"
    log=${name%% in /*}
    log=$logs/$job-$(printf %02d "$step_no")-${log//[^[:alnum:]]/-}.log
    # In the background, not in a condition: there `set -e` would not hold
    # inside the step's functions.
    "$@" >"$log" 2>&1 </dev/null &
    wait "$!" || rc=$?
    if [ "$rc" -ne 0 ]; then
        echo "== $name FAILED (exit $rc, $((SECONDS - start)) s); the end of $log:"
        tail -n 40 "$log"
        exit "$rc"
    fi
    results=$(grep '^== ' "$log" || true)
    echo "${results:-== $name} ($((SECONDS - start)) s)"
}

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
    install_missing cmake g++ make qtbase5-dev googletest faketime libncurses-dev pkg-config acl
    [[ " $* " != *" -DLOGGER_BUILD_BENCH=ON "* ]] || install_missing libspdlog-dev
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON "$@"
    cmake --build "$build" -j "$jobs"
}

# Fills $1 with the armhf packages; skipped when it holds them all.
armhf_sysroot() {
    local sysroot=$1
    # Complete: it holds every package of the list, in the versions of the
    # index it was made from (remove the folder to take newer ones).
    if [ -f "$sysroot/.packages" ] &&
        [ "$(sed 's/:armhf=[^ ]*//g' "$sysroot/.packages")" = "${armhf_packages[*]}" ]; then
        return 0
    fi
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
    echo "== unpacking ${#wanted[@]} armhf packages into $sysroot"
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

armhf_build_tree() {
    install_missing cmake make g++-arm-linux-gnueabihf qemu-user qtbase5-dev-tools googletest acl
    # The toolchain file's default sysroot folder.
    armhf_sysroot "$armhf_build/armhf-sysroot"
    cmake -S "$root" -B "$armhf_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON -DLOGGER_BUILD_TESTS=ON
    cmake --build "$armhf_build" -j "$jobs"
}
armhf_leg() {
    step "armhf build in $armhf_build" armhf_build_tree
    step "armhf tests under qemu-arm" run_ctest "$armhf_build"
    step "armhf host in its own folder" armhf_host
    step "armhf packages" package_armhf
    step "armhf packages checked" check_packages armhf
    step "contrib kit on the armhf host" contrib_check "${armhf_run[@]}" "$armhf_build/examples/demo_host" \
         "$armhf_build/tests/test_host"
}
contrib_check() {
    install_missing lnav rsyslog rsyslog-relp
    bash "$root/scripts/check-contrib.sh" "$@"
}
check_packages() {
    if [ "$1" = armhf ]; then install_missing file binutils; else install_missing pkg-config qt5-qmake; fi
    bash "$root/scripts/check-packages.sh" "$1" "$build/packages"
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
        qemu-arm -E LD_LIBRARY_PATH="$stage/lib:$armhf_libs" "$armhf_loader" build-armhf/demo_host build-armhf/demo.ini \
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
    echo "== packages in $build/packages:" "$(cd "$tree/packages" && echo *.deb)"
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

# The crash trace's fallback for devices whose glibc predates 2.35 (no
# _dl_find_object), compiled as such a glibc would see it, native and armhf.
old_glibc_fallback() {
    local unit=/tmp/logger-old-glibc-$$.cpp compiler
    printf '#include <dlfcn.h>\n#undef DLFO_STRUCT_HAS_EH_DBASE\n#include "crashsymbols.cpp"\n' >"$unit"
    for compiler in g++ arm-linux-gnueabihf-g++; do
        command -v "$compiler" >/dev/null || continue
        "$compiler" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -iquote "$root/logger" \
            -I "$build/logger" $(pkg-config --cflags Qt5Core) "$unit" || { rm -f "$unit"; return 1; }
    done
    rm -f "$unit"
}

# The README's code: every C++ block is a whole file that compiles against
# the installed package of `consumer`; the quick start's main.cpp, built as
# the README says, also runs and writes its line.
readme_code() {
    local work block count=0 build_line pc_flags
    work=$(mktemp -d /tmp/logger-readme-XXXXXX)
    trap "rm -rf '$work'" EXIT # when the step's process ends
    awk -v dir="$work" '/^ *```cpp$/ { n++; on = 1; next } on && /^ *```$/ { on = 0; next }
        on { print > (dir "/block" n ".cpp") }' "$root/README.md" "$root/HACKING.md"
    pc_flags=$(PKG_CONFIG_PATH="$build/stage/lib/pkgconfig" pkg-config --cflags --libs logger)
    for block in "$work"/block*.cpp; do
        # shellcheck disable=SC2086
        g++ -std=c++17 -Wall -Wextra -Werror -o "${block%.cpp}" "$block" $pc_flags ||
            { echo "README: this block does not compile:"; cat "$block"; return 1; }
        count=$((count + 1))
    done
    awk '/^## / { on = ($0 == "## Quick start") } on && /^```cpp$/ { c = 1; next } c && /^```$/ { exit } c' \
        "$root/README.md" >"$work/main.cpp"
    build_line=$(awk '/^## / { on = ($0 == "## Quick start") } on && /^g\+\+ / { l = $0; while (l ~ /\\$/) {
        getline next_line; sub(/\\$/, "", l); l = l next_line } print l; exit }' "$root/README.md")
    build_line=${build_line//\~\/logger-install/$build/stage}
    build_line=${build_line//\$HOME\/logger-install/$build/stage}
    (cd "$work" && export TMPDIR="$work" && eval "$build_line")
    echo # the logger's "uninit end..." at exit has no line feed
    grep -q ' \[INFO \] .* \[main\]   \[hello from myapp\]$' "$work"/myapp/*_1_myapp.log
    echo "== the README's $count C++ blocks compile; its quick start builds, runs and logs"
}

# An armhf program under qemu-arm, as ctest runs the tests.
# Its loader runs it (not qemu's -L, which would map "/" into the prefix).
armhf_loader=/usr/arm-linux-gnueabihf/lib/ld-linux-armhf.so.3
armhf_libs=/usr/arm-linux-gnueabihf/lib:$armhf_build/armhf-sysroot/usr/lib/arm-linux-gnueabihf:$armhf_build/armhf-sysroot/lib/arm-linux-gnueabihf
armhf_run=(qemu-arm -E LD_LIBRARY_PATH="$armhf_libs" "$armhf_loader")

# ctest, its output kept beside the build for the summary of `test`; more
# arguments select tests.
run_ctest() {
    local dir=$1
    shift
    local rc=0 tmp
    # The tests' temporary directory, removed afterwards with whatever a test
    # leaves there (a host's records before its start land inside it).
    # Open to all, as /tmp: some hosts run as user nobody.
    tmp=$(mktemp -d /tmp/logger-ctest-XXXXXX)
    chmod 1777 "$tmp"
    TMPDIR=$tmp ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 60 "$@" >"$dir/ctest.log" 2>&1 ||
        rc=$?
    rm -rf "$tmp"
    cat "$dir/ctest.log"
    echo "== $(summary "tests in $dir" "$rc" "$dir")"
    return "$rc"
}

# A native build with sanitizers in $1 (address or thread); more arguments go
# to ctest. Any report fails the test that caused it.
sanitizer_leg() {
    local dir=$1 sanitizer=$2
    shift 2
    step "$sanitizer sanitizer build in $dir" sanitizer_build "$dir" "$sanitizer"
    step "tests under the $sanitizer sanitizer" run_ctest "$dir" "$@"
}
sanitizer_build() {
    install_missing cmake g++ make qtbase5-dev googletest faketime acl
    cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON -DLOGGER_BUILD_TESTS=ON \
          -DLOGGER_BUILD_EXAMPLES=OFF -DLOGGER_SANITIZE="$2"
    cmake --build "$1" -j "$jobs"
}

fuzz_dir=${FUZZ_BUILD_DIR:-$root/build-fuzz}
fuzz_leg() {
    local seconds=$1 target
    step "fuzz targets built with Clang in $fuzz_dir" fuzz_build
    for target in line ini; do
        if [ "$target" = ini ] && [ "$(id -u)" -ne 0 ]; then
            echo "== ini_fuzzer skipped: the child it starts per input shuts itself in with chroot, which needs root"
            continue
        fi
        step "fuzzing $target" fuzz_run "$target" "$seconds"
    done
}
fuzz_build() {
    install_missing cmake make clang libclang-rt-14-dev qtbase5-dev
    cmake -S "$root" -B "$fuzz_dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DLOGGER_WERROR=ON -DLOGGER_BUILD_FUZZ=ON -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_EXAMPLES=OFF
    cmake --build "$fuzz_dir" -j "$jobs"
}
# New inputs go to the build tree's corpus; the seeds in fuzz/ stay as they
# are. A finding is saved as $fuzz_dir/crash-<hash>.
fuzz_run() {
    local target=$1 seconds=$2
    local log=$fuzz_dir/fuzz-$target.log
    mkdir -p "$fuzz_dir/corpus/$target"
    "$fuzz_dir/fuzz/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$fuzz_dir/" -dict="$root/fuzz/${target}.dict" "$fuzz_dir/corpus/$target" \
        "$root/fuzz/seeds/$target" >"$log" 2>&1 || { cat "$log"; return 1; }
    awk -v t="$target" -v s="$seconds" '$1 == "stat::number_of_executed_units:" { runs = $2 }
        $1 == "stat::new_units_added:" { added = $2 }
        END { printf "== fuzzing %s for %s s: %d inputs run, %d new, no finding\n", t, s, runs, added }' \
"$log"
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

# The installed package must serve a project of its own: the example.
consumer() {
    cmake --install "$build" --prefix "$build/stage"
    cmake -S "$root/examples" -B "$build/consumer" -DCMAKE_PREFIX_PATH="$build/stage"
    cmake --build "$build/consumer" -j "$jobs"
    echo "== the installed package builds the example host"
    # It exports the public interface and nothing else.
    local lib extra
    lib=$(find "$build/stage" -name liblogger.so.1 | head -n 1)
    extra=$(nm -D --defined-only "$lib" | c++filt | awk '{ $1 = $2 = ""; sub(/^ +/, ""); print }' |
        grep -vE '^(Loger::|LOG_CONFIG_INFO::|GetLoger(Version|Status|StartError|QueueStatus)\(|SetLoger(Limits|Queue)\(|CaptureQtMessages\(|InstallCrashHandler\()' ||
        true)
    [ -z "$extra" ] || { echo "exported beyond the public interface:"; echo "$extra"; return 1; }
    echo "== the installed library exports $(nm -D --defined-only "$lib" | wc -l) symbols, all of the public interface"
}

case "$job" in
    demo)
        step "native build in $build" native_build -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_BENCH=OFF
        # Run from the build tree: the demo's relative LogPath lands there.
        cd "$build" && ./examples/demo_host
        ;;
    native)
        step "native build in $build" native_build -DLOGGER_BUILD_TESTS=ON -DLOGGER_BUILD_BENCH=ON
        step "native tests" run_ctest "$build"
        # The benchmark once on a few thousand records: a check of its
        # read-back, never of its timings.
        step "benchmark smoke run" "$build/bench/logger_bench" --records 4000 --reps 1 --strace-records 0
        step "installed package" consumer
        step "README code" readme_code
        step "crash trace for glibc before 2.35 compiles" old_glibc_fallback
        step "parent project" parent_project
        step "native packages" package_native
        step "native packages checked" check_packages native
        step "contrib kit" contrib_check "$build/examples/demo_host" "$build/tests/test_host"
        ;;
    armhf)
        armhf_leg
        ;;
    bench)
        install_missing cmake g++ make qtbase5-dev libspdlog-dev strace
        echo "== Release build of the benchmark in $bench_build" >&2
        cmake -S "$root" -B "$bench_build" -DCMAKE_BUILD_TYPE=Release -DLOGGER_BUILD_BENCH=ON \
              -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_EXAMPLES=OFF -DLOGGER_BENCH_LOCKS=ON >/dev/null
        cmake --build "$bench_build" -j "$jobs" --target logger_bench >/dev/null
        "$bench_build/bench/logger_bench" "${@:2}"
        ;;
    locks)
        install_missing cmake g++ make qtbase5-dev googletest faketime acl
        [ $# -gt 1 ] || set -- "$1" -R 'WriteLock|Threads|HostScenario|Reliability|Stress|CrashesAndHangs'
        for lock in own std adaptive; do
            step "configure build-lock-$lock (LOGGER_WRITE_LOCK=$lock)" cmake -S "$root" -B "$root/build-lock-$lock" \
                -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON -DLOGGER_BUILD_TESTS=ON \
                -DLOGGER_BUILD_EXAMPLES=OFF -DLOGGER_WRITE_LOCK="$lock"
            step "build in build-lock-$lock" cmake --build "$root/build-lock-$lock" -j "$jobs"
            step "tests with the $lock write lock" run_ctest "$root/build-lock-$lock" "${@:2}"
        done
        ;;
    stack)
        install_missing cmake make g++-arm-linux-gnueabihf qtbase5-dev-tools
        armhf_sysroot "$armhf_build/armhf-sysroot"
        stack_build=$root/build-armhf-stack
        cmake -S "$root" -B "$stack_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" \
              -DLOGGER_ARMHF_SYSROOT="$armhf_build/armhf-sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              -DLOGGER_STACK_USAGE=ON -DLOGGER_BUILD_TESTS=OFF -DLOGGER_BUILD_EXAMPLES=OFF >/dev/null
        cmake --build "$stack_build" -j "$jobs" --target logger_objects >/dev/null
        # bytes, kind, function (file:line:column:name)
        cat "$stack_build"/logger/CMakeFiles/logger_objects.dir/*.su | awk -F'\t' '{ print $2 "\t" $3 "\t" $1 }' |
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
        # stress test, a handler that logs, exit while threads log, threads
        # cancelled, a real-time waiter, two starts at once, children forked
        # while threads log (not a signal handler that logs: TSan reports the
        # allocations its records may make).
        sanitizer_leg "$root/build-tsan" thread \
            -R 'Intake|Line|Level|Stop|Threads|WriteLock|Stress|HostScenario|Reliability|Cancelled|RealTimeWaiter|TwoStarts|Queue[.]'
        ;;
    fuzz)
        fuzz_leg "${2:-30}"
        ;;
    package)
        step "native packages" package_native
        step "armhf packages" package_armhf
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
        rm -f "$logs"/*.log
        echo "== the legs $(IFS=,; echo "${legs[*]}"); full output of each step in $logs"
        for i in "${!legs[@]}"; do
            leg=${legs[$i]}
            [ -z "${dirs[$i]}" ] || rm -f "${dirs[$i]}/ctest.log"
            start=$SECONDS
            rc[$leg]=0
            echo "== $leg leg"
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
        echo "usage: $0 demo|test|native|armhf|package|sysroot|locks [ctest args]|stack|asan|tsan|fuzz [SECONDS]|bench [bench options]" >&2
        exit 2
        ;;
esac
