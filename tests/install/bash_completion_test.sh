#!/usr/bin/env bash
# Drives the bash completion function as bash's completion does (COMP_WORDS,
# COMP_CWORD, COMP_LINE, COMP_POINT) and checks COMPREPLY for each case.
# usage: bash_completion_test.sh COMPLETION_FILE
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"

# shellcheck source=/dev/null
source "$1"
spec=$(complete -p tessik-browser 2>/dev/null)
function=$(sed -n 's/.* -F \([^ ]*\) .*/\1/p' <<<"$spec")
if [[ -z $function ]] || ! declare -F "$function" >/dev/null; then
    failed "the file registers no completion function for tessik-browser: '$spec'"
    finish
fi

while IFS='|' read -r line expected; do
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    "$function" tessik-browser "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    sorted_words "${COMPREPLY[@]}"
    got=$REPLY
    # shellcheck disable=SC2086  # the expected words are split on purpose
    sorted_words $expected
    want=$REPLY
    [[ $got == "$want" ]] || failed "[$line] proposes '$got', expected '$want'"
done < <(completion_cases)

finish
