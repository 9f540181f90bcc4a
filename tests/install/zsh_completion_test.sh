#!/usr/bin/env bash
# Has zsh complete each case on a pseudo-terminal (zsh_complete.zsh) and
# checks the words, and that the commands and options come with the help
# text's descriptions.
# usage: zsh_completion_test.sh COMPLETION_DIR BINARY
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"
command -v zsh >/dev/null || skip "zsh is not installed"

dir=$1 binary=$2
load_cases

output=$(zsh -f "$(dirname "$0")/zsh_complete.zsh" "$dir" "${lines[@]}") ||
    failed "zsh could not complete the lines"
# Each line's answer: its "word<TAB>description" lines, and the words alone.
answers=()
words=()
while IFS=$'\t' read -r n word description; do
    [[ -n $n ]] || continue
    answers[n - 1]+=$word$'\t'$description$'\n'
    words[n - 1]+=" $word"
done <<<"$output"

check_answers "$binary"

finish
