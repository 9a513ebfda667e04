# bash completion for zelflash(1), installed as
# share/bash-completion/completions/zelflash. Self-contained: it uses none of
# bash-completion's helpers, so it works with or without that package.
#
# Completes the commands (write, watch, list, job check, job init, report, lot create,
# lot extend, lot status, lot recover), the options
# of each, the --format, --on-failure, --mode, --present and --by values, image
# files by extension, job files (.toml), and serial ports from "zelflash list"
# (the path is each line's text up to its first two spaces).

# The options, per command; keep them in step with "zelflash CMD --help"
# (packaging/check_options.py fails when one is missing).
_zelflash_image_opts="--format -a --address -b --baud --retries --erase-timeout --fill-gaps --flash-size --json -q --quiet -h --help --job --serial --set --state --new-state --log --on-failure"
_zelflash_write_opts="-p --port $_zelflash_image_opts"
_zelflash_watch_opts="--include-present --jobs --match --glob -p --port --mode --fixture --present --probe-ms --leave-ms --http --http-token-file $_zelflash_image_opts"
_zelflash_list_opts="--json -h --help"
_zelflash_job_opts="-h --help"
_zelflash_report_opts="--by --board-key --json --html --lot -h --help"
_zelflash_lot_opts="-h --help"
_zelflash_lot_status_opts="--json -h --help"
_zelflash_lot_recover_opts="--station --after --force -h --help"
_zelflash_top_opts="-h --help --version"
# The options that take a value (the next word, or the text after "=").
_zelflash_value_opts="-p|--port|--format|-a|--address|-b|--baud|--retries|--erase-timeout|--flash-size|--jobs|--match|--glob|--mode|--present|--probe-ms|--leave-ms|--http|--http-token-file|--log|--job|--serial|--set|--state|--on-failure|--by|--board-key|--html|--lot"
_zelflash_formats="auto bin ihex srec"
_zelflash_image_pattern='*.@(bin|hex|ihex|ihx|srec|s19|s28|s37|mot)'
_zelflash_job_pattern='*.toml'

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

# Cuts the text $1, up to a word's last ":", off the front of each reply
# (bash replaces only what follows that ":").
_zelflash_cut()
{
    [[ -n $1 ]] || return 0
    local i
    for i in "${!COMPREPLY[@]}"; do
        COMPREPLY[i]=${COMPREPLY[i]#"$1"}
    done
}

_zelflash()
{
    COMPREPLY=()
    local i cword=$COMP_CWORD
    local cur=${COMP_WORDS[cword]}
    local prev=${COMP_WORDS[cword - 1]}
    # bash splits words at ":": "--match 0403:60" is "--match", "0403", ":"
    # and "60", "--serial 0x1F000:le32:1000" five words after the option, and
    # it replaces only the part after the last ":". The word is put together
    # from its first part ($first) and matched whole, and the replies are cut
    # back to the part after its last ":".
    local first=$cword
    [[ $cur == ":" ]] && ((first--))
    while ((first >= 2)) && [[ ${COMP_WORDS[first - 1]} == ":" ]]; do
        ((first -= 2))
    done
    local colon_prefix=""
    if ((first < cword)); then
        cur=""
        for ((i = first; i <= cword; i++)); do
            cur+=${COMP_WORDS[i]}
        done
        colon_prefix=${cur%:*}:
        prev=${COMP_WORDS[first - 1]}
    fi
    # It splits "--format=ihex" at the "=" too: the words are "--format", "="
    # and "ihex" (or, after "--format=", "--format" and "=").
    if [[ $cur == "=" ]]; then
        cur=""
    elif [[ $prev == "=" && $first -ge 2 ]]; then
        prev=${COMP_WORDS[first - 2]}
    fi
    # "--set NAME=VALUE" is "--set", "NAME", "=" and "VALUE": nothing to offer.
    if [[ ${COMP_WORDS[first]} == "=" && $first -ge 2 && ${COMP_WORDS[first - 2]} == --set ]] ||
        [[ ${COMP_WORDS[first - 1]} == "=" && $first -ge 3 && ${COMP_WORDS[first - 3]} == --set ]]; then
        return 0
    fi

    # The command: the first word after the program that is not an option.
    local command=""
    for ((i = 1; i < cword; i++)); do
        case ${COMP_WORDS[i]} in
        write | watch | list | job | report | lot)
            command=${COMP_WORDS[i]}
            break
            ;;
        esac
    done
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            _zelflash_words "$cur" "$_zelflash_top_opts"
        else
            _zelflash_words "$cur" "write watch list job report lot"
        fi
        return 0
    fi

    # job: its command (check, init), then the job file.
    if [[ $command == job ]]; then
        local sub=""
        for ((i = i + 1; i < cword; i++)); do
            [[ ${COMP_WORDS[i]} == check || ${COMP_WORDS[i]} == init ]] && sub=${COMP_WORDS[i]} && break
        done
        if [[ $cur == -* ]]; then
            _zelflash_words "$cur" "$_zelflash_job_opts"
        elif [[ -z $sub ]]; then
            _zelflash_words "$cur" "check init"
        else
            _zelflash_files "$cur" "$_zelflash_job_pattern"
        fi
        return 0
    fi

    # lot: its command (create, extend, status, recover), then the job file.
    if [[ $command == lot ]]; then
        local sub=""
        for ((i = i + 1; i < cword; i++)); do
            [[ ${COMP_WORDS[i]} == @(create|extend|status|recover) ]] && sub=${COMP_WORDS[i]} && break
        done
        local opts=$_zelflash_lot_opts
        [[ $sub == status ]] && opts=$_zelflash_lot_status_opts
        [[ $sub == recover ]] && opts=$_zelflash_lot_recover_opts
        if [[ $prev == @(--station|--after) ]]; then
            return 0  # a station's name, a number of minutes
        elif [[ $cur == -* ]]; then
            _zelflash_words "$cur" "$opts"
        elif [[ -z $sub ]]; then
            _zelflash_words "$cur" "create extend status recover"
        else
            _zelflash_files "$cur" "$_zelflash_job_pattern"
        fi
        return 0
    fi

    # The value of the option before the cursor.
    if [[ $prev == @($_zelflash_value_opts) && $command != list ]]; then
        if [[ $command == report ]]; then
            # --by: image, or label:NAME (the name is the user's to type).
            if [[ $prev == --by && $cur != *:* ]]; then
                _zelflash_words "$cur" "image label:"
                [[ ${COMPREPLY[*]} == label: ]] && compopt -o nospace 2>/dev/null
            elif [[ $prev == --html ]]; then
                _zelflash_files "$cur" '*.html'
            elif [[ $prev == --lot ]]; then
                _zelflash_files "$cur" "$_zelflash_job_pattern"
            fi
            return 0
        fi
        case $prev in
        -p | --port) _zelflash_ports "$cur" ;;
        --format) _zelflash_words "$cur" "$_zelflash_formats" ;;
        --on-failure) _zelflash_words "$cur" "burn reuse" ;;
        --mode) _zelflash_words "$cur" "ports fixture" ;;
        --present) _zelflash_words "$cur" "probe dsr cts dcd ri enter" ;;
        --match) _zelflash_usb_ids "$cur" ;;
        --job) _zelflash_files "$cur" "$_zelflash_job_pattern" ;;
        --glob | --log | --state | --http-token-file) _zelflash_files "$cur" '*' ;;
        -b | --baud) _zelflash_words "$cur" "9600 19200 38400 57600 115200 230400 460800 921600" ;;
        esac
        _zelflash_cut "$colon_prefix"
        return 0  # numbers, --serial, --set: nothing to offer
    fi

    if [[ $cur == -* ]]; then
        local opts_var=_zelflash_${command}_opts
        _zelflash_words "$cur" "${!opts_var}"
    elif [[ $command == report ]]; then
        _zelflash_files "$cur" '*'  # board logs, named as the station chose
    elif [[ $command != list ]]; then
        _zelflash_files "$cur" "$_zelflash_image_pattern"
    fi
    _zelflash_cut "$colon_prefix"
    return 0
}

complete -F _zelflash zelflash
