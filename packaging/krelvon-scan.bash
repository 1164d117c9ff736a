# bash completion for krelvon-scan                         -*- shell-script -*-

_krelvon_scan() {
  local cur prev words cword
  _init_completion -n = || return

  case $cur in
    --action=*)
      COMPREPLY=($(compgen -W 'disinfect rename delete ignore' -- "${cur#*=}"))
      return
      ;;
    --backup=* | --restore=* | --windows-root=*)
      cur=${cur#*=}
      _filedir -d
      return
      ;;
    --report=* | --file-list=*)
      cur=${cur#*=}
      _filedir
      return
      ;;
    --format=*)
      COMPREPLY=($(compgen -W 'text jsonl' -- "${cur#*=}"))
      return
      ;;
    --exclude=* | --exclude-dir=*)
      return
      ;;
    --jobs=*)
      COMPREPLY=($(compgen -W '0 1 2 4 8 16 32 64' -- "${cur#*=}"))
      return
      ;;
  esac

  local i
  for ((i = 1; i < cword; i++)); do
    if [[ ${words[i]} == -- ]]; then
      _filedir
      return
    fi
  done

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '--action= --prompt --file-list= --null --exclude= --exclude-dir= --format=
                            --report= --quiet --backup= --restore= --force
                            --no-registry --windows-root= --jobs= --help --version --' -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi

  # PATH: a folder or a file.
  _filedir
} && complete -F _krelvon_scan krelvon-scan krelvon-scan-static
