#!/usr/bin/env bash
# Asks fish what it proposes for each case (complete -C), and checks that
# the commands and options come with the help text's descriptions.
# usage: fish_completion_test.sh COMPLETION_FILE BINARY
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"
command -v fish >/dev/null || skip "fish is not installed"

file=$1 binary=$2
load_cases

# One fish answers every line; "<end>" closes each answer.
# shellcheck disable=SC2016  # the script is fish's, with fish's variables
output=$(fish --no-config -c 'source $argv[1]; or exit 2
    for line in $argv[2..-1]
        complete -C $line
        echo "<end>"
    end' "$file" "${lines[@]}") || failed "fish could not load $file"
# Each answer: its lines, and the words alone (before the tab).
answers=()
words=()
answer='' answer_words=''
while IFS= read -r out; do
    if [[ $out == "<end>" ]]; then
        answers+=("$answer")
        words+=("$answer_words")
        answer='' answer_words=''
    else
        answer+=$out$'\n'
        answer_words+=" ${out%%$'\t'*}"
    fi
done <<<"$output"
((${#answers[@]} == ${#lines[@]})) ||
    failed "fish answered ${#answers[@]} of ${#lines[@]} lines"

check_answers "$binary"

finish
