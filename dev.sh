#!/bin/sh
# Builds ipwhere and runs it or its tests, installing missing Debian
# packages first (as root).
#   ./dev.sh run [ipwhere options]   build, then run the tool
#   ./dev.sh test                    build, then run every test through CTest
#   ./dev.sh demo                    build, then show both reports against
#                                    local test servers (no internet needed)
#   ./dev.sh bench [runs [other]]    build, then compare with the curl CLI
#                                    (and another build of ipwhere)
#                                    against nginx (HTTP/2, TLS 1.3)
#   ./dev.sh dist                    the source tarball, the Debian package
#                                    and SHA256SUMS in dist/, reproducible
#                                    for one SOURCE_DATE_EPOCH
set -eu
cd "$(dirname "$0")"

BUILD_PACKAGES="cmake make g++ pkg-config libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libseccomp-dev ca-certificates"
TEST_PACKAGES="libgtest-dev python3 openssl util-linux mount valgrind nginx-light gdb libnss-myhostname torsocks proxychains4 strace faketime google-perftools libmimalloc-dev"

. scripts/need.sh

jobs=$(nproc 2>/dev/null || echo 2)

# The resolve name-service module, for the end-to-end case that names it in
# nsswitch.conf. Only the library: the package pulls in systemd-resolved,
# which would turn /etc/resolv.conf into a link to a stub that does not
# run here. It does nothing until an nsswitch.conf names it.
need_nss_resolve() {
  libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  [ -e "$libdir/libnss_resolve.so.2" ] && return 0
  unpacked=$(mktemp -d)
  (cd "$unpacked" && apt-get download libnss-resolve >/dev/null 2>&1 &&
    dpkg-deb -x libnss-resolve_*.deb root) &&
    cp "$unpacked"/root/usr/lib/*/libnss_resolve.so.2 "$libdir"/
  rm -rf "$unpacked"
}

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
    need $BUILD_PACKAGES $TEST_PACKAGES dpkg-dev
    need_nss_resolve
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
  dist)
    need $BUILD_PACKAGES git dpkg-dev file
    # The release is made from the last commit, whatever the work tree holds.
    version=$(git show HEAD:CMakeLists.txt |
      sed -n 's/^project(ipwhere VERSION \([0-9.]*\).*/\1/p')
    unreleased=$(git show HEAD:CHANGELOG.md |
      awk '/^## /{inside = ($2 == "Unreleased"); next} inside && /^- /')
    if [ -n "$unreleased" ]; then
      echo "CHANGELOG.md has entries under \"## Unreleased\": give them a" \
        "version of their own before releasing $version" >&2
      exit 1
    fi
    git diff --quiet HEAD -- 2>/dev/null ||
      echo "dist: uncommitted changes are left out" >&2
    # Every time stamp is the last commit's unless the caller sets one.
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
    export SOURCE_DATE_EPOCH
    rm -rf dist build/dist
    mkdir -p dist build/dist
    tree=build/dist/ipwhere-$version
    git archive --format=tar --prefix="ipwhere-$version/" HEAD |
      tar -x -C build/dist
    tarball=dist/ipwhere-$version.tar.gz
    (cd build/dist && find "ipwhere-$version" ! -type d -print0 |
      LC_ALL=C sort -z |
      tar --create --null --files-from=- --format=gnu --owner=0 --group=0 \
        --numeric-owner --mode=u=rwX,go=rX --mtime="@$SOURCE_DATE_EPOCH") |
      gzip -9n >"$tarball"
    # The package is built from the very files of the tarball.
    (cd "$tree" && cmake --preset deb >/dev/null &&
      cmake --build build/deb -j "$jobs" >/dev/null &&
      cd build/deb && cpack -G DEB >/dev/null)
    cp "$tree"/build/deb/ipwhere_"$version"_*.deb dist/
    (cd dist && sha256sum -- * >SHA256SUMS)
    ls -l dist
    ;;
  *)
    echo "usage: $0 run [ipwhere options] | test [cmake options] | demo | bench [runs [other binary]] | dist" >&2
    exit 2
    ;;
esac
