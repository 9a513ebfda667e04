# bash completion for zelflash(1), installed as
# share/bash-completion/completions/zelflash. Self-contained: it uses none of
# bash-completion's helpers, so it works with or without that package.
#
# Completes the commands (write, watch, list), the options of each, the
# --format values, image files by extension, and serial ports from
# "zelflash list" (the path is each line's text up to its first two spaces).

# The options, per command; keep them in step with "zelflash CMD --help"
# (packaging/check_options.py fails when one is missing).
_zelflash_image_opts="--format -a --address -b --baud --retries --erase-timeout --fill-gaps --flash-size --json -q --quiet -h --help"
_zelflash_write_opts="-p --port $_zelflash_image_opts"
_zelflash_watch_opts="--include-present --jobs --match --glob --log $_zelflash_image_opts"
_zelflash_list_opts="--json -h --help"
_zelflash_top_opts="-h --help --version"
# The options that take a value (the next word, or the text after "=").
_zelflash_value_opts="-p|--port|--format|-a|--address|-b|--baud|--retries|--erase-timeout|--flash-size|--jobs|--match|--glob|--log"
_zelflash_formats="auto bin ihex srec"
_zelflash_image_pattern='*.@(bin|hex|ihex|ihx|srec|s19|s28|s37|mot)'

# Adds to COMPREPLY each word of the list $2 that starts with $1.
_zelflash_words()
{
    local w
    for w in $2; do
        [[ $w == "$1"* ]] && COMPREPLY+=("$w")
    done
}

# The output of "zelflash list", run as the command line names the program.
_zelflash_list()
{
    local prog=${COMP_WORDS[0]/#\~/$HOME}
    type -P -- "$prog" >/dev/null 2>&1 || prog=zelflash
    "$prog" list 2>/dev/null
}

# Serial ports starting with $1: the paths "zelflash list" prints; when it
# knows none that fit, file names (a pty, a symlink to one, a COM name typed).
_zelflash_ports()
{
    local line
    while IFS= read -r line; do
        line=${line%%  *}
        [[ -n $line && $line == "$1"* ]] && COMPREPLY+=("$line")
    done < <(_zelflash_list)
    [[ ${#COMPREPLY[@]} -gt 0 ]] || _zelflash_files "$1" '*'
}

# USB ids VID:PID starting with $1, from the "usb VID:PID" of "zelflash list".
_zelflash_usb_ids()
{
    local line id
    while IFS= read -r line; do
        [[ $line =~ \ \ usb\ ([0-9a-fA-F]{4}:[0-9a-fA-F]{4}) ]] || continue
        id=${BASH_REMATCH[1]}
        [[ $id == "$1"* ]] && COMPREPLY+=("$id")
    done < <(_zelflash_list)
}

# Directories and the files starting with $1 whose name, in any case,
# matches the extended pattern $2.
_zelflash_files()
{
    local f lower
    local -a found
    compopt -o filenames 2>/dev/null  # quoting and a "/" after directories
    mapfile -t found < <(compgen -f -- "$1")
    for f in "${found[@]}"; do
        lower=${f,,}
        if [[ -d $f ]]; then
            COMPREPLY+=("$f")
        elif [[ $lower == $2 ]]; then  # [[ ]] matches extended patterns
            COMPREPLY+=("$f")
        fi
    done
}

_zelflash()
{
    COMPREPLY=()
    local cword=$COMP_CWORD
    local cur=${COMP_WORDS[cword]}
    local prev=${COMP_WORDS[cword - 1]}
    # bash splits "--format=ihex" at the "=": the words are "--format", "="
    # and "ihex" (or, after "--format=", "--format" and "=").
    if [[ $cur == "=" ]]; then
        cur=""
    elif [[ $prev == "=" && $cword -ge 2 ]]; then
        prev=${COMP_WORDS[cword - 2]}
    fi
    # It splits "--match 0403:60" at the ":" too ("0403", ":", "60"), and
    # replaces only the part after it: the id is matched whole, and the
    # replies are cut back to that part.
    local colon_prefix=""
    if [[ $cur == ":" && $cword -ge 2 && ${COMP_WORDS[cword - 2]} == --match ]]; then
        colon_prefix="$prev:" cur="$prev:" prev=--match
    elif [[ $prev == ":" && $cword -ge 3 && ${COMP_WORDS[cword - 3]} == --match ]]; then
        colon_prefix="${COMP_WORDS[cword - 2]}:" cur="${COMP_WORDS[cword - 2]}:$cur" prev=--match
    fi

    # The command: the first word after the program that is not an option.
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${COMP_WORDS[i]} in
        write | watch | list)
            command=${COMP_WORDS[i]}
            break
            ;;
        esac
    done
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            _zelflash_words "$cur" "$_zelflash_top_opts"
        else
            _zelflash_words "$cur" "write watch list"
        fi
        return 0
    fi

    # The value of the option before the cursor.
    if [[ $prev == @($_zelflash_value_opts) && $command != list ]]; then
        case $prev in
        -p | --port) _zelflash_ports "$cur" ;;
        --format) _zelflash_words "$cur" "$_zelflash_formats" ;;
        --match)
            _zelflash_usb_ids "$cur"
            [[ -z $colon_prefix ]] || COMPREPLY=("${COMPREPLY[@]#"$colon_prefix"}")
            ;;
        --glob | --log) _zelflash_files "$cur" '*' ;;
        -b | --baud) _zelflash_words "$cur" "9600 19200 38400 57600 115200 230400 460800 921600" ;;
        esac
        return 0  # numbers: nothing to offer
    fi

    if [[ $cur == -* ]]; then
        local opts_var=_zelflash_${command}_opts
        _zelflash_words "$cur" "${!opts_var}"
    elif [[ $command != list ]]; then
        _zelflash_files "$cur" "$_zelflash_image_pattern"
    fi
    return 0
}

complete -F _zelflash zelflash
