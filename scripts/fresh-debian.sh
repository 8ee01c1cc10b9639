#!/bin/sh
# Runs ./dev.sh from a copy of this work tree in a fresh minimal Debian root
# of the named release, as on a new machine (as root, with the network for
# apt):   scripts/fresh-debian.sh trixie test
# The root is build/fresh-RELEASE, made anew each time, and entered as a
# pivoted root (bubblewrap): in a plain chroot the kernel refuses the user
# namespaces that some tests make.
set -eu
cd "$(dirname "$0")/.."
. scripts/need.sh
[ $# -ge 2 ] || { echo "usage: $0 RELEASE DEV_SH_COMMAND [ARGS...]" >&2; exit 2; }
release=$1
shift
need debootstrap bubblewrap
root=$PWD/build/fresh-$release
rm -rf --one-file-system "$root"
mkdir -p build
debootstrap --variant=minbase "$release" "$root" >"$root.log" 2>&1 ||
  { tail -n 20 "$root.log"; exit 1; }
# The host's resolver, for apt; a link there could lead out of the root.
rm -f "$root/etc/resolv.conf"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The hosts file of an installed system, which a minimal root may lack
# (netbase writes it when installed, as in a Debian 13 root here).
[ -e "$root/etc/hosts" ] ||
  printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
    >"$root/etc/hosts"
mkdir "$root/src"
tar -c --exclude=./build --exclude=./dist --exclude=./.git . | tar -x -C "$root/src"
exec bwrap --bind "$root" / --dev-bind /dev /dev --proc /proc --bind /sys /sys \
  --unshare-pid --die-with-parent --cap-add ALL --chdir /src --clearenv \
  --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  --setenv HOME /root --setenv LANG C.UTF-8 ./dev.sh "$@"
