# bash completion for chronark-cli: commands, their options and .crf files.

_chronark_cli_files() {
  # $1: "crf" offers folders and project files only, otherwise every file.
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  if [[ $1 == crf ]]; then
    COMPREPLY=($(compgen -d -- "$cur") $(compgen -f -X '!*.crf' -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

_chronark_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    COMPREPLY=($(compgen -W 'list export add csv summary json edit delete --help' -- "$cur"))
    return 0
  fi
  local cmd=${COMP_WORDS[1]}
  case $prev in
    --by)
      COMPREPLY=($(compgen -W 'day week month' -- "$cur"))
      return 0
      ;;
    --from | --to | --start | --end | --remark) return 0 ;;
  esac
  if [[ $cur == -* ]]; then
    local opts=--help
    case $cmd in
      list) opts+=' --numbers' ;;
      summary) opts+=' --by --from --to' ;;
      json) opts+=' --timewarrior' ;;
      edit) opts+=' --start --end --remark' ;;
    esac
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    return 0
  fi
  # Which positional argument is being typed: options and their values
  # do not count.
  local i pos=1
  for ((i = 2; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --by | --from | --to | --start | --end | --remark) ((i++)) ;;
      -*) ;;
      *) ((pos++)) ;;
    esac
  done
  case $cmd:$pos in
    *:1) _chronark_cli_files crf ;;
    export:2) _chronark_cli_files ;;
  esac
  return 0
}

complete -F _chronark_cli chronark-cli
