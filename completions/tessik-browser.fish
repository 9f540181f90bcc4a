# fish completion for tessik-browser. Options may stand anywhere on the line,
# so the command word is found by skipping them; the word after --widget is
# its value, whatever it looks like.

# Prints the command word typed so far; fails when there is none yet, or when
# the word being completed is the value of --widget.
function __tessik_browser_command
    set -l tokens (commandline -opc)
    set -e tokens[1]
    set -l value_next 0
    set -l command
    for token in $tokens
        if test $value_next = 1
            set value_next 0
            continue
        end
        switch $token
            case --widget
                set value_next 1
            case --submit -h --help
            case '*'
                test -z "$command"; and set command $token
        end
    end
    test $value_next = 0; or return 2
    test -n "$command"; or return 1
    echo $command
end

function __tessik_browser_needs_command
    __tessik_browser_command >/dev/null
    test $status = 1
end

function __tessik_browser_command_is
    set -l command (__tessik_browser_command)
    and test "$command" = $argv[1]
end

# Nothing here takes file names; the arguments of the commands are free text.
complete -c tessik-browser -f

complete -c tessik-browser -n __tessik_browser_needs_command -a url -d 'print the current page URL'
complete -c tessik-browser -n __tessik_browser_needs_command -a title -d 'print the current page title'
complete -c tessik-browser -n __tessik_browser_needs_command -a navigate -d 'load a URL'
complete -c tessik-browser -n __tessik_browser_needs_command -a back -d 'history back'
complete -c tessik-browser -n __tessik_browser_needs_command -a forward -d 'history forward'
complete -c tessik-browser -n __tessik_browser_needs_command -a reload -d 'reload current page'
complete -c tessik-browser -n __tessik_browser_needs_command -a text -d 'print visible text (whole page or selector)'
complete -c tessik-browser -n __tessik_browser_needs_command -a eval -d 'run JS, print returned value as JSON'
complete -c tessik-browser -n __tessik_browser_needs_command -a click -d 'click element matching CSS selector'
complete -c tessik-browser -n __tessik_browser_needs_command -a type -d 'type text into an input'

# The widget id is free text: -x takes a value and proposes nothing for it.
complete -c tessik-browser -l widget -x -d 'target widget id (default: only active widget)'
complete -c tessik-browser -n '__tessik_browser_command_is type' -l submit -d 'for `type`: press Enter / submit form after typing'
complete -c tessik-browser -s h -l help -d 'print this help'
