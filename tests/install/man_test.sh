#!/usr/bin/env bash
# Checks the man page: groff finds nothing to warn about, man renders it, it
# holds every failure message the tool can print, and it documents each of
# the ten commands and each option that the help text lists.
# usage: man_test.sh BINARY MAN_PAGE
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"
command -v groff >/dev/null || skip "groff is not installed"

binary=$1 page=$2

render_man_page "$page"

# Every failure message, or its fixed part where it carries a value.
messages=(
    "--widget requires an argument"
    "missing command (try --help)"
    "unknown command: '"
    "' (try --help)"
    "usage: navigate <url>"
    "usage: eval <script>"
    "usage: click <selector>"
    "usage: type <selector> <text>"
    "HOME not set"
    "cannot read "
    "(is Tessik running?)"
    "malformed rpc config: "
    "rpc error: "
    " (os error "
    "connection timed out"
    "no error set after POLLHUP"
    "failed to write whole buffer"
    "stream did not contain valid UTF-8"
    "no body"
    "bad response: "
    "unknown error"
    "eval error"
    "tessik-browser: "
)
for text in "${renders[@]}"; do
    for message in "${messages[@]}"; do
        [[ $text == *"$message"* ]] || failed "the rendered page lacks the message \"$message\""
    done
done

# section NAME prints the rendered section NAME, up to the next heading.
section() {
    awk -v name="$1" '/^[^ ]/ { inside = ($0 == name); next } inside' <<<"$render"
}
for heading in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS OUTPUT "EXIT STATUS" DIAGNOSTICS \
    FILES ENVIRONMENT EXAMPLES; do
    [[ -n $(section "$heading") ]] || failed "the page has no section $heading"
done

# Each command is listed by the help text and has its entry in COMMANDS.
commands=(url title navigate back forward reload text eval click type)
help_commands=$(help_entries "$binary" COMMANDS | cut -f1)
sorted_words "${commands[@]}"
want=$REPLY
# shellcheck disable=SC2086  # one word per line
sorted_words $help_commands
[[ $REPLY == "$want" ]] || failed "the help text lists the commands '$REPLY', expected '$want'"
man_commands=$(section COMMANDS)
for command in "${commands[@]}"; do
    grep -qE "^ {7}$command( |$)" <<<"$man_commands" ||
        failed "COMMANDS has no entry for $command"
done
man_options=$(section OPTIONS)
while IFS=$'\t' read -r option _; do
    grep -qE "^ {7}(.*, )?$option( |,|$)" <<<"$man_options" ||
        failed "OPTIONS has no entry for $option"
done < <(help_entries "$binary" OPTIONS)

# Exactly the statuses 0 and 1 are documented.
statuses=$(section "EXIT STATUS" | grep -oE '^ {7}[0-9]+' | tr -d ' ' | paste -sd ' ' -)
[[ $statuses == "0 1" ]] || failed "EXIT STATUS documents '$statuses', expected '0 1'"

finish
