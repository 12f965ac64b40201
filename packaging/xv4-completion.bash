# bash completion for the programs of xv4tool (xv4tool, xv4ctl, xv4sim, ...), installed once
# under each program's name. Everything it offers is read from the program itself at completion
# time, so a new option, command or program needs no change here:
# - options and whether they take a value: the option lines of `PROGRAM --help`;
# - commands: the lines of the help that show PROGRAM [OPTION]... COMMAND;
# - the keys of --set KEY=VALUE: `PROGRAM --json settings` (its "key" members), nothing when the
#   program has no such command;
# - values by their placeholder: FILE files, DIR directories, PORT and DEVICE serial ports,
#   RATE and BPS line speeds, ROWS the service rows.
# It uses plain bash only, so it also works when sourced without the bash-completion package.

declare -gA _xv4_help_cache

# The help text of the program, read once per shell.
_xv4_help() {
  local prog=$1
  if [[ -z ${_xv4_help_cache[$prog]+set} ]]; then
    _xv4_help_cache[$prog]=$("$prog" --help 2>/dev/null)
  fi
  printf '%s\n' "${_xv4_help_cache[$prog]}"
}

# "OPTION PLACEHOLDER" per line (PLACEHOLDER empty for a flag), from the option lines of the help.
_xv4_options() {
  local line short opt arg o re='^[[:space:]]+(-[[:alnum:]],[[:space:]]+)?(-[-[:alnum:]]+)([ =]([^[:space:]]+))?'
  local -A seen
  while IFS= read -r line; do
    [[ $line =~ $re ]] || continue
    short=${BASH_REMATCH[1]%%,*} opt=${BASH_REMATCH[2]} arg=${BASH_REMATCH[4]}
    # A placeholder is upper case (FILE, [ADDR:]PORT, KEY=VALUE); anything else is text.
    [[ $arg == *[A-Z]* && $arg != *[a-z]* ]] || arg=
    for o in $short $opt; do
      [[ -z ${seen[$o]} ]] && seen[$o]=$arg
    done
  done < <(_xv4_help "$1")
  for opt in "${!seen[@]}"; do
    printf '%s %s\n' "$opt" "${seen[$opt]}"
  done
}

# "COMMAND" or "COMMAND FILE" (the command takes a file) per line, from lines such as
# "    xv4ctl [OPTION]... data [FILE]".
_xv4_commands() {
  local name=${1##*/} line
  local re="^[[:space:]]*(Usage:[[:space:]]+)?${name}[[:space:]]+(\\[[^]]*\\](\\.\\.\\.)?[[:space:]]+)+([a-z][-a-z]*)(.*)"
  while IFS= read -r line; do
    [[ $line =~ $re ]] || continue
    if [[ ${BASH_REMATCH[5]} == *FILE* ]]; then
      printf '%s FILE\n' "${BASH_REMATCH[4]}"
    else
      printf '%s\n' "${BASH_REMATCH[4]}"
    fi
  done < <(_xv4_help "$1")
}

_xv4_serial_ports() {
  local p
  for p in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/serial/by-id/*; do
    [[ -e $p ]] && printf '%s\n' "$p"
  done
}

# Fills COMPREPLY with the values of an option whose placeholder is $3.
_xv4_values() {
  local prog=$1 opt=$2 arg=$3 cur=$4 keys head
  case $arg in
    *FILE*)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
    *DIR*)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      ;;
    PORT | DEVICE)
      compopt -o filenames 2>/dev/null
      keys=$(_xv4_serial_ports)
      [[ $arg == PORT ]] && keys+=$'\n'"COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8"
      mapfile -t COMPREPLY < <(compgen -W "$keys" -- "$cur")
      ;;
    RATE | BPS)
      mapfile -t COMPREPLY < <(compgen -W "1200 2400 4800 9600 19200 38400 57600 115200 460800" -- "$cur")
      ;;
    ROWS)
      # A comma list: complete the last item.
      head=${cur%"${cur##*,}"}
      mapfile -t COMPREPLY < <(compgen -P "$head" -W "label-probe machine-no printer-type" -- "${cur##*,}")
      ;;
    KEY=VALUE)
      [[ $cur == *=* ]] && return
      if [[ $opt == --set ]]; then
        keys=$("$prog" --json settings 2>/dev/null | grep -o '"key"[[:space:]]*:[[:space:]]*"[^"]*"' |
          sed 's/.*"\([^"]*\)"$/\1/')
      else
        # Keys listed in the help as "key=VALUE" lines.
        keys=$(_xv4_help "$prog" | sed -n 's/^[[:space:]]\{4,\}\([a-z][-a-z.]*\)=[A-Z].*/\1/p')
      fi
      [[ -n $keys ]] || return
      compopt -o nospace 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -S = -W "$keys" -- "$cur")
      ;;
  esac
}

_xv4() {
  local prog=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev= i w arg command= operand=0
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  command -v "$prog" >/dev/null 2>&1 || return 0

  local -A takes
  local opt
  while read -r opt arg; do
    takes[$opt]=$arg
  done < <(_xv4_options "$prog")

  # The value of an option: "--opt VALUE", or "--opt=VALUE" (split at '=' by bash).
  if [[ $prev == = && COMP_CWORD -ge 2 && -n ${takes[${COMP_WORDS[COMP_CWORD - 2]}]} ]]; then
    _xv4_values "$prog" "${COMP_WORDS[COMP_CWORD - 2]}" "${takes[${COMP_WORDS[COMP_CWORD - 2]}]}" "$cur"
    return 0
  fi
  if [[ $cur == = && -n ${takes[$prev]} ]]; then
    _xv4_values "$prog" "$prev" "${takes[$prev]}" ""
    return 0
  fi
  if [[ -n ${takes[$prev]} ]]; then
    _xv4_values "$prog" "$prev" "${takes[$prev]}" "$cur"
    return 0
  fi
  # "--set KEY=VALUE" arrives as "--set" "KEY" "=" "VALUE": no value completion.
  [[ $prev == = || $cur == = ]] && return 0

  # Find the command among the words before the cursor, stepping over option values.
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    if [[ $w == -* ]]; then
      [[ -n ${takes[$w]} && ${COMP_WORDS[i + 1]} != = ]] && ((i++))
    elif [[ $w == = ]]; then
      ((i++))
    elif [[ -z $command ]]; then
      command=$w
    else
      operand=1
    fi
  done

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${!takes[*]}" -- "$cur")
    return 0
  fi
  local -A commands
  local name file
  while read -r name file; do
    commands[$name]=$file
  done < <(_xv4_commands "$prog")
  if ((${#commands[@]} == 0)); then
    return 0
  fi
  if [[ -z $command ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${!commands[*]}" -- "$cur")
  elif [[ ${commands[$command]} == FILE && $operand -eq 0 ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
  return 0
}

complete -F _xv4 xv4tool xv4ctl xv4sim
# bash-completion loads this file for the command being completed and names it in $1: a later
# program installed with this file is covered too.
[[ ${1-} == xv4* ]] && complete -F _xv4 "$1"
