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
    --report=*)
      cur=${cur#*=}
      _filedir
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
      _filedir -d
      return
    fi
  done

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '--action= --prompt --report= --quiet --backup= --restore= --force
                            --no-registry --windows-root= --jobs= --help --version --' -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi

  # PATH: folders only.
  _filedir -d
} && complete -F _krelvon_scan krelvon-scan krelvon-scan-static
