#!/bin/bash
# Checks the shell completions: bash offers the four options, zsh and fish
# accept their files.
set -euo pipefail
cd "$(dirname "$0")/../../completions"

# shellcheck source=/dev/null
source ./ipwhere.bash
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  _ipwhere
  echo "${COMPREPLY[*]}"
}
[ "$(complete_words ipwhere '')" = "--help --json -4 -6" ] || exit 1
[ "$(complete_words ipwhere --j)" = "--json" ] || exit 1
[ "$(complete_words ipwhere -4 -)" = "--help --json -4 -6" ] || exit 1

zsh -n _ipwhere
fish --no-execute ipwhere.fish
echo "completions check passed"
