#!/usr/bin/env zsh
# Prints what zsh's completion system proposes for command lines, as the
# user would get them from Tab: one "N<TAB>word<TAB>description" line per
# match, N being the number of the line among the arguments, from 1.
# usage: zsh_complete.zsh COMPLETION_DIR LINE...
# Completion widgets run only inside a live line editor, so an interactive
# zsh on a pseudo-terminal is given the line and a Tab; compadd is wrapped
# to print each match it is handed instead of showing them.
emulate -L zsh
zmodload zsh/zpty || exit 2
zmodload zsh/datetime

local compdir=$1
shift
local init=${TMPDIR:-/tmp}/zsh-complete-init.$$
trap 'rm -f $init; zpty -d capture 2>/dev/null' EXIT

cat >$init <<INIT
PS1='' PROMPT='' RPROMPT=''
bindkey -e
# The completion system's own functions are enough, and scanning every
# completion zsh ships would take seconds.
typeset -a base=(\${(M)fpath:#*/Completion(|/Base)})
(( \$#base )) || base=(\$fpath)
fpath=(${(q)compdir} \$base)
autoload -Uz compinit && compinit -u -D
zstyle ':completion:*' insert-tab false
zstyle ':completion:*' list-grouped false
compadd() {
  # Calls that only filter or collect are zsh's own bookkeeping.
  if [[ \${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then
    builtin compadd "\$@"
    return
  fi
  local -a __matches __display
  local __i=\${@[(i)-d]}
  # The descriptions come as the name of an array of display strings; -D
  # drops the entries of the words that do not match, keeping both in step.
  (( __i < \$# )) && __display=("\${(@P)@[__i+1]}")
  builtin compadd -A __matches -D __display "\$@"
  for (( __i = 1; __i <= \$#__matches; __i++ )); do
    print -r -- "<match>\$__matches[__i]"\$'\t'"\${\${__display[__i]}#*-- }"
  done
}
# Tab completes, then marks the end of what it printed.
_capture_complete() {
  zle complete-word
  print -r -- '<done>'
}
zle -N _capture_complete
bindkey '^I' _capture_complete
print -r -- '<ready>'
INIT

zpty capture zsh -f -i || exit 2
zpty -w capture ". $init"

# Reads from the terminal until a marker shows, for at most five seconds.
local output chunk
wait_for() {
  local deadline=$(( EPOCHREALTIME + 10 ))
  while [[ $output != *$1* ]]; do
    if (( EPOCHREALTIME > deadline )); then
      print -u2 "zsh_complete: no $1 from zsh; output so far:"
      print -u2 -r -- $output
      exit 2
    fi
    if zpty -rt capture chunk; then output+=$chunk; else sleep 0.02; fi
  done
}
wait_for '<ready>'
local line match
integer n=0
for line in "$@"; do
  (( n++ ))
  output=
  zpty -w -n capture "$line"$'\t'
  wait_for '<done>'
  for match in "${(@f)${output//$'\r'}}"; do
    [[ $match == *'<match>'* ]] && print -r -- "$n"$'\t'"${match#*<match>}"
  done
  # Ctrl-U empties the line for the next one.
  zpty -w -n capture $'\x15'
done
