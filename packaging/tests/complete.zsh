#!/usr/bin/env zsh
# Prints what zsh offers on Tab for a command line, one a line. It starts an
# interactive zsh on a pseudo-terminal (zpty) with compinit and the fpath
# given, types the line and a key bound to completion, and prints every
# match the completion functions add (compadd is wrapped to report them).
# The line is never run: it is typed without a line end (zpty -w -n; a plain
# zpty -w adds one, and the shell would then run the completed line, say a
# real "zelflash write -p /dev/ttyACM0"), and the shell is killed with its
# pty (zpty -d hangs it up) while the line is still being edited.
#
# Usage: complete.zsh FPATH_DIR WORK_DIR LINE
#   FPATH_DIR  where _zelflash is (share/zsh/vendor-completions)
#   WORK_DIR   the directory the line is completed in (file names)
#   LINE       the command line up to the cursor ("zelflash write --f")
# The markers printed around the matches are split in the source ("ZEL${:-}END")
# so that the terminal's echo of the typed definitions never matches them.
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "PS1=''; fpath=(${(q)1} \$fpath); autoload -U compinit; compinit -u -D; cd ${(q)2}"
zpty -w z 'zstyle ":completion:*" list-grouped false; zstyle ":completion:*" insert-tab false'
zpty -w z 'compadd () {
  if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return $?; fi
  local -a __hits; builtin compadd -A __hits "$@"
  (( $#__hits )) && print -rl -- "${(@)__hits/#/ZEL${:-}CAND:}"
  builtin compadd "$@"
}'
zpty -w z '_zel_capture () { _main_complete; print -r -- "ZEL${:-}END" }'
zpty -w z 'zle -C zel-capture complete-word _zel_capture; bindkey "^X" zel-capture'
zpty -w -n z "$3"$'\C-x'
local line
while zpty -r z line; do
  [[ $line == *ZELEND* ]] && break
  [[ $line == *ZELCAND:* ]] && print -r -- ${${line##*ZELCAND:}%%$'\r'*}
done
zpty -d z
