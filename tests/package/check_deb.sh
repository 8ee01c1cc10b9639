#!/bin/bash
# Installs the Debian package built by CPack on this machine, checks what it
# put where, and removes it again. Usage: check_deb.sh PACKAGE.deb
set -euo pipefail
deb=$1
fail() { echo "package check failed: $*" >&2; exit 1; }

dpkg-deb -f "$deb" Depends | grep -q 'libcurl4' || fail "Depends lacks libcurl4"
dpkg-deb -f "$deb" Depends | grep -q 'libssl3' || fail "Depends lacks libssl3 (libcrypto)"
# The filter is compiled in when building: libseccomp is not needed to run.
! dpkg-deb -f "$deb" Depends | grep -q 'libseccomp' || fail "Depends names libseccomp"
dpkg -s ipwhere >/dev/null 2>&1 && fail "ipwhere is already installed here"

dpkg -i "$deb" >/dev/null
trap 'dpkg -r ipwhere >/dev/null' EXIT

expected="Usage: ipwhere [options]

Options:
  --help     Show this help message
  --json     Output results in JSON format
  -4         Query IPv4 information only
  -6         Query IPv6 information only"
[ "$(/usr/bin/ipwhere --help)" = "$expected" ] || fail "/usr/bin/ipwhere --help"

for file in /usr/bin/ipwhere /usr/share/man/man1/ipwhere.1.gz \
            /usr/share/bash-completion/completions/ipwhere \
            /usr/share/zsh/vendor-completions/_ipwhere \
            /usr/share/fish/vendor_completions.d/ipwhere.fish \
            /usr/share/doc/ipwhere/copyright /usr/share/doc/ipwhere/changelog.gz; do
  dpkg -L ipwhere | grep -qx "$file" || fail "package does not list $file"
  [ -f "$file" ] || fail "$file is not installed"
done
zcat /usr/share/man/man1/ipwhere.1.gz | groff -ww -z -man || fail "man page"
# One version everywhere: the package, its changelog and the man page.
version=$(dpkg-deb -f "$deb" Version)
zcat /usr/share/doc/ipwhere/changelog.gz | sed -n 1p | grep -qF "ipwhere ($version)" ||
  fail "changelog.gz does not start with version $version"
zcat /usr/share/man/man1/ipwhere.1.gz | grep -q "^\.TH IPWHERE 1 .* \"ipwhere $version\"" ||
  fail "the man page does not name version $version"

dpkg -r ipwhere >/dev/null
trap - EXIT
[ ! -e /usr/bin/ipwhere ] || fail "/usr/bin/ipwhere left after removal"
echo "package check passed: $(basename "$deb")"
