# bash completion for tapsum: an option or the coefficient file first, then
# the coefficient file after an option, then the WAV files. It needs nothing
# from the bash-completion package. The words are taken from the line as
# typed, split at white space only, so names may hold colons (which bash
# itself splits words at) and escaped spaces.
_tapsum() {
  local line=${COMP_LINE:0:COMP_POINT} words cur cword first=1
  read -a words <<<"$line"
  [[ -z $line || ($line == *[[:space:]] && $line != *\\[[:space:]]) ]] && words+=("")
  cword=$((${#words[@]} - 1))
  cur=${words[cword]}
  case ${words[1]} in -8 | -16 | -24 | -32 | -f32 | -f64) first=2 ;; esac
  COMPREPLY=()
  if ((cword == 1)) && [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-8 -16 -24 -32 -f32 -f64 -h --help --version' -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  if ((cword == first)); then
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  elif ((cword > first && cword <= first + 2)); then
    # Folders, to go on into, and WAV files; a folder named *.wav once.
    mapfile -t COMPREPLY < <({ compgen -d -- "$cur"; compgen -f -X '!*.[Ww][Aa][Vv]' -- "$cur"; } | sort -u)
  fi
  # bash completes only what follows the word's last colon.
  [[ $cur == *:* ]] && COMPREPLY=("${COMPREPLY[@]#"${cur%:*}:"}")
  return 0
}
complete -F _tapsum tapsum
