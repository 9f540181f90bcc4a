# bash completion for tessik-browser                      -*- shell-script -*-
#
# Options may stand anywhere on the line, so the command word is found by
# skipping them; the word after --widget is its value, whatever it looks like.

# The proposed words hold no spaces or patterns, so splitting compgen's
# output is safe, and works in bash 3 as well.
# shellcheck disable=SC2207
_tessik_browser() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()

    # The widget id is free text: propose nothing for it.
    local i command=
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --widget)
                ((i + 1 == COMP_CWORD)) && return 0
                ((i++))
                ;;
            --submit | -h | --help) ;;
            *)
                [[ -z $command ]] && command=${COMP_WORDS[i]}
                ;;
        esac
    done

    if [[ $cur == -* ]]; then
        local options="--widget -h --help"
        [[ $command == type ]] && options+=" --submit"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return 0
    fi

    # bash shows no descriptions; the words are those of the help text. The
    # arguments after the command (URLs, selectors, scripts, text) are free
    # text, and nothing is proposed for them.
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W \
            "url title navigate back forward reload text eval click type" -- "$cur"))
    fi
    return 0
} &&
    complete -F _tessik_browser tessik-browser

# ex: filetype=sh
