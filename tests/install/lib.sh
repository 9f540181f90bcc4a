# Shared by the install tests: failure counting, skipping, and the entries of
# the help text, which the completions and the man page must agree with.

export LC_ALL=C
failures=0

# Reports one failed check and goes on, so one run shows every fault.
failed() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}

# Ends the test: status 1 after any failed check.
finish() {
    if ((failures > 0)); then
        printf '%d check(s) failed\n' "$failures" >&2
        exit 1
    fi
    echo "all checks passed"
}

# Ends the test as skipped (CTest's SKIP_RETURN_CODE).
skip() {
    echo "skipped: $*"
    exit 77
}

# help_entries BINARY SECTION prints "name<TAB>description" for every entry
# of the help text's section SECTION (COMMANDS or OPTIONS): the name is the
# first word of the 29-column name field, "-h, --help" gives two entries, and
# the description starts in column 34.
help_entries() {
    "$1" --help | awk -v section="$2:" '
        $0 == section { inside = 1; next }
        inside && $0 == "" { exit }
        inside {
            n = split(substr($0, 5, 29), names, ", ")
            for (i = 1; i <= n; i++) {
                split(names[i], words, " ")
                print words[1] "\t" substr($0, 34)
            }
        }'
}

# The completion cases: "line|expected words", the line as typed up to the
# cursor, the words in any order.
completion_cases() {
    grep -v -e '^#' -e '^$' "$(dirname "${BASH_SOURCE[0]}")/completion_cases.txt"
}

# Sets REPLY to the non-empty arguments, sorted and joined by spaces. Plain
# bash: the cases are many and each process costs on a busy machine.
sorted_words() {
    local -a out=()
    local word i
    for word in "$@"; do
        [[ -z $word ]] && continue
        i=${#out[@]}
        while ((i > 0)) && [[ ${out[i - 1]} > $word ]]; do
            out[i]=${out[i - 1]}
            i=$((i - 1))
        done
        out[i]=$word
    done
    REPLY="${out[*]}"
}

# Checks what a shell proposed: words[i] against expectations[i] for each case
# line, then answers[n] and answers[n+1] (words with their descriptions)
# against the help text's commands and options. The arrays are the caller's.
check_answers() {
    local binary=$1 i got want n
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
}

# Fills lines[] and expectations[] from the case table, then adds the two
# lines whose answers check_answers compares with the help text.
load_cases() {
    lines=()
    expectations=()
    local line expected
    while IFS='|' read -r line expected; do
        lines+=("$line")
        expectations+=("$expected")
    done < <(completion_cases)
    lines+=("tessik-browser " "tessik-browser type x -")
}

# render_man_page PAGE: fails unless groff renders PAGE without a warning and
# man (where installed) renders it too. Sets `render` to groff's plain text,
# without hyphenation and on lines long enough that no message is broken or
# spread out by justification, and `renders` to that and man's own text.
render_man_page() {
    local page=$1 warnings
    warnings=$(groff -man -ww -z "$page" 2>&1) || failed "groff exits with status $?"
    [[ -z $warnings ]] || failed "groff warns:
$warnings"
    render=$(groff -man -Tutf8 -rLL=200n -rHY=0 -P-cbou "$page" 2>&1) ||
        failed "groff cannot render the page"
    renders=("$render")
    if command -v man >/dev/null; then
        local man_render
        # What a reader gets from man itself (man-db's options where it has them).
        if man_render=$(MANWIDTH=200 man --nh --nj -l "$page" 2>/dev/null) ||
            man_render=$(MANWIDTH=200 man -l "$page" 2>&1); then
            renders+=("$man_render")
        else
            failed "man -l cannot render the page: $man_render"
        fi
    fi
}
