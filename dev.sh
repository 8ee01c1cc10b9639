#!/bin/sh
# Builds ipwhere and runs it or its tests, installing missing Debian
# packages first (as root).
#   ./dev.sh run [ipwhere options]   build, then run the tool
#   ./dev.sh test                    build, then run every test through CTest
#   ./dev.sh demo                    build, then show both reports against
#                                    local test servers (no internet needed)
#   ./dev.sh bench [runs]            build, then compare with the curl CLI
#                                    against nginx (HTTP/2, TLS 1.3)
set -eu
cd "$(dirname "$0")"

BUILD_PACKAGES="cmake make g++ pkg-config libcurl4-openssl-dev nlohmann-json3-dev ca-certificates"
TEST_PACKAGES="libgtest-dev python3 openssl util-linux mount valgrind nginx-light"

. scripts/need.sh

jobs=$(nproc 2>/dev/null || echo 2)

release_build() {
  cmake --preset release >/dev/null
  cmake --build build/release -j "$jobs" >/dev/null
}

command="${1:-}"
[ $# -gt 0 ] && shift
case "$command" in
  run)
    need $BUILD_PACKAGES
    release_build
    exec build/release/ipwhere "$@"
    ;;
  test)
    need $BUILD_PACKAGES $TEST_PACKAGES
    cmake --preset test "$@"
    cmake --build build/test -j "$jobs"
    ctest --test-dir build/test --output-on-failure
    ;;
  demo | bench)
    need $BUILD_PACKAGES python3 openssl util-linux mount
    [ "$command" = bench ] && need curl nginx-light
    release_build
    if [ "$command" = demo ]; then
      exec python3 tests/e2e/demo.py build/release/ipwhere
    fi
    exec python3 bench/bench.py build/release/ipwhere "$@"
    ;;
  *)
    echo "usage: $0 run [ipwhere options] | test [cmake options] | demo | bench [runs]" >&2
    exit 2
    ;;
esac
