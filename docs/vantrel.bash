# bash completion for vantrel                                     -*- shell-script -*-

_vantrel() {
  local cur prev words cword
  _init_completion || return

  local command="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      pack | list | test | extract)
        command=${words[i]}
        break
        ;;
    esac
  done

  case "$prev" in
    --overwrite)
      COMPREPLY=($(compgen -W 'ask always never' -- "$cur"))
      return
      ;;
    --times)
      COMPREPLY=($(compgen -W 'all write-only' -- "$cur"))
      return
      ;;
    -C | --directory)
      _filedir -d
      return
      ;;
    -o | --output)
      if [[ $command == extract ]]; then _filedir -d; else _filedir exe; fi
      return
      ;;
    --message-file | --password-file | --exclude-from)
      _filedir
      return
      ;;
    --message | --run-after | --password | --exclude | --mtime)
      return
      ;;
  esac

  local common='-q --quiet -h --help'
  local reading='--password --password-file'
  case "$command" in
    "")
      COMPREPLY=($(compgen -W 'pack list test extract --help --version -q --quiet' -- "$cur"))
      ;;
    pack)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common -o --output -C --directory --message --message-file
          --run-after --password --password-file --ask-password --show-password --exclude
          --exclude-from --mtime --times --skip-unreadable --level -T --threads -1 -2 -3 -4 -5
          -6 -7 -8 -9" -- "$cur"))
      else
        _filedir
      fi
      ;;
    list)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $reading --json --exclude --exclude-from" -- "$cur"))
      else
        _filedir exe
      fi
      ;;
    test)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $reading" -- "$cur"))
      else
        _filedir exe
      fi
      ;;
    extract)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $reading -o --output --overwrite --exclude
          --exclude-from" -- "$cur"))
      else
        _filedir exe
      fi
      ;;
  esac
}
complete -F _vantrel vantrel
