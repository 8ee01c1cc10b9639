# bash completion for ipwhere
_ipwhere() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  mapfile -t COMPREPLY < <(compgen -W '--help --json -4 -6' -- "$cur")
}
complete -F _ipwhere ipwhere
