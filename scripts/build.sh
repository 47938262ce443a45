#!/usr/bin/env bash
# Installs what is missing, builds, and runs one job:
#   scripts/build.sh demo    build and run the example host
#   scripts/build.sh test    build and pass every test
set -euo pipefail

job=${1:-test}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
jobs=${JOBS:-2}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        as_root apt-get update -qq || true
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

native_build() {
    install_missing cmake g++ make qtbase5-dev googletest faketime
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGGER_WERROR=ON "$@"
    cmake --build "$build" -j "$jobs"
}

case "$job" in
    demo)
        native_build -DLOGGER_BUILD_TESTS=OFF
        # Run from the build tree: the demo's relative LogPath lands there.
        cd "$build" && ./examples/demo_host
        ;;
    test)
        native_build -DLOGGER_BUILD_TESTS=ON
        ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 60
        ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac
