# Sourced by dev.sh and .ci/run: need PACKAGE... installs whichever of the
# named Debian packages are missing (as root).
need() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
}
