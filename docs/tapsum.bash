# bash completion for tapsum: an option or a coefficient file first, then
# the coefficient file after an option, then WAV files.
_tapsum() {
  local cur=${COMP_WORDS[COMP_CWORD]} first=1
  COMPREPLY=()
  [[ ${COMP_WORDS[1]} == -8 || ${COMP_WORDS[1]} == -16 ]] && first=2
  if ((COMP_CWORD == 1)) && [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-8 -16 -h --help --version' -- "$cur")
  elif ((COMP_CWORD == first)); then
    _filedir txt
  elif ((COMP_CWORD > first && COMP_CWORD <= first + 2)); then
    _filedir wav
  fi
} && complete -F _tapsum tapsum
