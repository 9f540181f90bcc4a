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

render_man_page "$page"

# section NAME prints the rendered section NAME, up to the next heading.
section() {
    awk -v name="$1" '/^[^ ]/ { inside = ($0 == name); next } inside' <<<"$render"
}
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS WIDGETS COMMANDS ACTIONS "TIMEOUTS AND LIMITS" \
    "EXIT STATUS" DIAGNOSTICS FILES ENVIRONMENT EXAMPLES; do
    [[ -n $(section "$heading") ]] || failed "the page has no section $heading"
done

# The help text's options and their defaults: each line of its OPTIONS block
# that starts with an option names it (and perhaps more, "-h, --help") before
# its description; the description may go on in lines of its own, and may
# end with "(default: VALUE)". Prints "option<TAB>default" per name.
help_options=$("$binary" --help | awk '
    function flush() { for (i = 1; i <= n; i++) print names[i] "\t" dflt; n = 0 }
    $0 == "OPTIONS:" { inside = 1; next }
    inside && $0 == "" { exit }
    inside && /^    -/ {
        flush()
        head = substr($0, 5); sub(/  .*/, "", head)
        n = split(head, parts, ", ")
        for (i = 1; i <= n; i++) { split(parts[i], words, " "); names[i] = words[1] }
        dflt = ""
    }
    inside && match($0, /\(default: [^)]*\)/) { dflt = substr($0, RSTART + 10, RLENGTH - 11) }
    END { flush() }')
[[ -n $help_options ]] || failed "the help text lists no options"
synopsis=$(section SYNOPSIS)
man_options=$(section OPTIONS)
# entry OPTION prints the OPTIONS entry of OPTION, up to the next entry.
entry() {
    awk -v option="$1" '/^       [^ ]/ { inside = ($1 == option || $1 == option ","); next } inside' \
        <<<"$man_options"
}
while IFS=$'\t' read -r option default; do
    [[ $synopsis == *"$option"* ]] || failed "SYNOPSIS lacks $option"
    grep -qE "^ {7}(.*, )?$option( |,|$)" <<<"$man_options" || failed "OPTIONS has no entry for $option"
    if [[ -n $default ]]; then
        [[ $(entry "$option") == *"$default"* ]] ||
            failed "the entry for $option does not give the default $default"
    fi
done <<<"$help_options"
# And the other way round: the page documents no option the host lacks.
for option in $(grep -oE -- '(^| |\[)--?[a-z-]+' <<<"$synopsis" | tr -d ' ['); do
    grep -q "^$option"$'\t' <<<"$help_options" || failed "SYNOPSIS names $option, which the help text lacks"
done

# Every line an action can fail with, up to the selector it ends with.
diagnostics=$(section DIAGNOSTICS)
messages=(
    "no element matches selector: "
    "element is not visible: "
    "element is not stable: "
    "element is disabled: "
    "element is covered by "
    "element did not receive the click: "
    "element is read-only: "
    "element cannot take text: "
    "element cannot take the focus: "
    "malformed value for a "
    "navigation to "
    "cannot load "
    "ms waiting for the next page"
    "no such widget: "
    "more than one widget is open, name one with --widget: "
    "no widget is open"
    "the browser has exited"
    "the page crashed"
    "the host is stopping"
    "out of memory"
)
for message in "${messages[@]}"; do
    [[ $diagnostics == *"$message"* ]] || failed "DIAGNOSTICS lacks the line \"$message\""
done

statuses=$(section "EXIT STATUS" | grep -oE '^ {7}[0-9]+' | tr -d ' ' | paste -sd ' ' -)
[[ $statuses == "0 1" ]] || failed "EXIT STATUS documents '$statuses', expected '0 1'"

finish
