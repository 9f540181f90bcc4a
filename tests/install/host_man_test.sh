#!/usr/bin/env bash
# Checks the host's man page: groff finds nothing to warn about, man renders
# it, it has its sections, it documents each option that the host's help text
# lists (in the synopsis and under OPTIONS), and it holds the failure line of
# every action check.
# usage: host_man_test.sh HOST_BINARY MAN_PAGE
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"
command -v groff >/dev/null || skip "groff is not installed"

binary=$1 page=$2

warnings=$(groff -man -ww -z "$page" 2>&1) || failed "groff exits with status $?"
[[ -z $warnings ]] || failed "groff warns:
$warnings"

render=$(groff -man -Tutf8 -rLL=200n -rHY=0 -P-cbou "$page" 2>&1) ||
    failed "groff cannot render the page"
if command -v man >/dev/null; then
    man_render=$(MANWIDTH=200 man -l "$page" 2>&1) || failed "man -l cannot render the page: $man_render"
fi

# section NAME prints the rendered section NAME, up to the next heading.
section() {
    awk -v name="$1" '/^[^ ]/ { inside = ($0 == name); next } inside' <<<"$render"
}
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS WIDGETS COMMANDS ACTIONS "TIMEOUTS AND LIMITS" \
    "EXIT STATUS" DIAGNOSTICS FILES ENVIRONMENT EXAMPLES; do
    [[ -n $(section "$heading") ]] || failed "the page has no section $heading"
done

# The help text's options: each line of its OPTIONS block names them before
# the first run of two spaces ("-h, --help" names two).
options=$("$binary" --help | awk '
    $0 == "OPTIONS:" { inside = 1; next }
    inside && $0 == "" { exit }
    inside {
        names = substr($0, 5)
        sub(/  .*/, "", names)
        n = split(names, parts, ", ")
        for (i = 1; i <= n; i++) { split(parts[i], words, " "); print words[1] }
    }')
[[ -n $options ]] || failed "the help text lists no options"
synopsis=$(section SYNOPSIS)
man_options=$(section OPTIONS)
for option in $options; do
    [[ $synopsis == *"$option"* ]] || failed "SYNOPSIS lacks $option"
    grep -qE "^ {7}(.*, )?$option( |,|$)" <<<"$man_options" || failed "OPTIONS has no entry for $option"
done

# Every line an action can fail with, up to the selector it ends with.
diagnostics=$(section DIAGNOSTICS)
messages=(
    "no element matches selector: "
    "element is not attached: "
    "element is not visible: "
    "element is not stable: "
    "element is disabled: "
    "element is covered by "
    "element is read-only: "
    "element cannot take text: "
    "timed out waiting for the page to load"
    "no such widget: "
)
for message in "${messages[@]}"; do
    [[ $diagnostics == *"$message"* ]] || failed "DIAGNOSTICS lacks the line \"$message\""
done

statuses=$(section "EXIT STATUS" | grep -oE '^ {7}[0-9]+' | tr -d ' ' | paste -sd ' ' -)
[[ $statuses == "0 1" ]] || failed "EXIT STATUS documents '$statuses', expected '0 1'"

finish
