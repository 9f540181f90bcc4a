#!/usr/bin/env bash
# Has zsh complete each case on a pseudo-terminal (zsh_complete.zsh) and
# checks the words, and that the commands and options come with the help
# text's descriptions.
# usage: zsh_completion_test.sh COMPLETION_DIR BINARY
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"
command -v zsh >/dev/null || skip "zsh is not installed"

dir=$1 binary=$2
lines=()
expectations=()
while IFS='|' read -r line expected; do
    lines+=("$line")
    expectations+=("$expected")
done < <(completion_cases)
lines+=("tessik-browser " "tessik-browser type x -")

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

for i in "${!expectations[@]}"; do
    # shellcheck disable=SC2086  # the words are split on purpose
    sorted_words ${words[i]}
    got=$REPLY
    # shellcheck disable=SC2086
    sorted_words ${expectations[i]}
    want=$REPLY
    [[ $got == "$want" ]] || failed "[${lines[i]}] proposes '$got', expected '$want'"
done

n=${#expectations[@]}
got=$(sed '/^$/d' <<<"${answers[n]}" | sort)
want=$(help_entries "$binary" COMMANDS | sort)
[[ $got == "$want" ]] || failed "commands and descriptions differ from the help text:
$(diff <(echo "$want") <(echo "$got"))"
got=$(sed '/^$/d' <<<"${answers[n + 1]}" | sort)
want=$(help_entries "$binary" OPTIONS | sort)
[[ $got == "$want" ]] || failed "options and descriptions after type differ from the help text:
$(diff <(echo "$want") <(echo "$got"))"

finish
