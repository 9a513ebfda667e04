#!/usr/bin/env bash
# Prints what bash offers on Tab for a zelflash command line, one a line: it
# loads the completion, sets COMP_WORDS, COMP_CWORD, COMP_LINE and
# COMP_POINT as bash does, calls the completion function and prints COMPREPLY.
#
# Usage: complete.bash --share DIR WORD...   through bash-completion's loader,
#                                            which looks in DIR/bash-completion/completions
#                                            (XDG_DATA_DIRS), as on an installed system
#        complete.bash --file FILE WORD...   the file sourced alone, no bash-completion
# The words are as bash splits them (COMP_WORDBREAKS: "--format=ih" is
# "--format" "=" "ih", "0403:6" is "0403" ":" "6"); the last is the one
# completed, "" for a new word.
set -u
how=$1 where=$2
shift 2
if [ "$how" = --share ]; then
    export XDG_DATA_DIRS=$where BASH_COMPLETION_USER_DIR=/nonexistent
    # shellcheck disable=SC1091
    source /usr/share/bash-completion/bash_completion
    __load_completion "$1" || { echo "complete.bash: no completion found for $1 in $where" >&2; exit 2; }
else
    # shellcheck disable=SC1090
    source "$where"
fi
registered=$(complete -p "$1" 2>/dev/null) || { echo "complete.bash: nothing completes $1" >&2; exit 2; }
function=$(sed -n 's/.*-F \([^ ]*\).*/\1/p' <<<"$registered")

COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
# The line as typed: the words a space apart, but none around "=" or ":".
COMP_LINE=$1
for ((i = 1; i < $#; i++)); do
    if [[ ${COMP_WORDS[i]} == [=:] || ${COMP_WORDS[i - 1]} == [=:] ]]; then
        COMP_LINE+=${COMP_WORDS[i]}
    else
        COMP_LINE+=" ${COMP_WORDS[i]}"
    fi
done
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
"$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
