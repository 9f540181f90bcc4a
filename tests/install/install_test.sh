#!/usr/bin/env bash
# Installs the build tree into scratch prefixes and checks what lands where:
# the tool's component is exactly its five files, the host's (when the build
# has the host) its binary, page and service files, a full install holds no test or fuzz
# program, and the installed files work or match their sources.
# usage: install_test.sh BUILD_DIR SOURCE_DIR BINARY MAN_PAGE_NAME [HOST_BINARY HOST_MAN_PAGE_NAME]
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"

build=$1 source_dir=$2 binary=$3 man_name=$4 host_binary=${5:-} host_man_name=${6:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

expected=(
    bin/tessik-browser
    "share/man/man1/$man_name"
    share/bash-completion/completions/tessik-browser
    share/zsh/site-functions/_tessik-browser
    share/fish/vendor_completions.d/tessik-browser.fish
)

host_expected=(
    bin/tessik-browser-host
    "share/man/man1/$host_man_name"
    lib/systemd/user/tessik-browser-host.service
    share/tessik-browser-host/tessik-browser-host.plist
)

# installed_files PREFIX prints the files below PREFIX, relative to it.
installed_files() {
    (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
}

# check_component NAME PREFIX FILE...: installing the component NAME into
# PREFIX gives exactly FILE....
check_component() {
    local name=$1 prefix=$2 log got want
    shift 2
    if ! log=$(cmake --install "$build" --prefix "$prefix" --component "$name" 2>&1); then
        failed "cmake --install of the $name component fails:
$log"
        return
    fi
    got=$(installed_files "$prefix")
    want=$(printf '%s\n' "$@" | sort)
    [[ $got == "$want" ]] || failed "the $name component installs other files than expected:
$(diff <(echo "$want") <(echo "$got"))"
}
check_component tessik-browser "$tmp/tool" "${expected[@]}"
[[ -n $host_binary ]] && check_component tessik-browser-host "$tmp/host" "${host_expected[@]}"
[[ -n $host_binary ]] && expected+=("${host_expected[@]}")

if ! log=$(cmake --install "$build" --prefix "$tmp/full" 2>&1); then
    failed "cmake --install fails:
$log"
else
    all=$(installed_files "$tmp/full")
    for file in "${expected[@]}"; do
        grep -qxF "$file" <<<"$all" || failed "a full install lacks $file"
    done
    stray=$(grep -iE 'test|fuzz' <<<"$all")
    [[ -z $stray ]] || failed "a full install holds test or fuzz files: $stray"
fi

tool=$tmp/tool
[[ -x $tool/bin/tessik-browser ]] || failed "the installed binary is not executable"
want=$("$binary" --help; echo "status $?")
got=$("$tool/bin/tessik-browser" --help; echo "status $?")
[[ $got == "$want" ]] || failed "the installed binary's --help differs from the build's:
$(diff <(echo "$want") <(echo "$got"))"

for pair in \
    "share/bash-completion/completions/tessik-browser completions/tessik-browser.bash" \
    "share/zsh/site-functions/_tessik-browser completions/_tessik-browser" \
    "share/fish/vendor_completions.d/tessik-browser.fish completions/tessik-browser.fish"; do
    read -r installed source <<<"$pair"
    cmp -s "$tool/$installed" "$source_dir/$source" || failed "$installed differs from $source"
done
# check_page PREFIX PAGE_NAME SOURCE NAME: the page PAGE_NAME installed
# below PREFIX is (or unpacks to) SOURCE, and man finds it there by NAME, as
# it would below /usr/local.
check_page() {
    local page=$1/share/man/man1/$2 source=$3 name=$4 found
    if [[ $page == *.gz ]]; then
        gzip -dc "$page" | cmp -s - "$source" || failed "the installed man page does not unpack to $source"
    else
        cmp -s "$page" "$source" || failed "the installed man page differs from $source"
    fi
    if command -v man >/dev/null; then
        found=$(MANPATH=$1/share/man man -w "$name" 2>&1)
        [[ $found == "$page" ]] || failed "man -w $name gives '$found', expected $page"
    fi
}
check_page "$tool" "$man_name" "$source_dir/man/tessik-browser.1" tessik-browser

if [[ -n $host_binary ]]; then
    host=$tmp/host
    want=$("$host_binary" --help; echo "status $?")
    got=$("$host/bin/tessik-browser-host" --help; echo "status $?")
    [[ $got == "$want" ]] || failed "the installed host's --help differs from the build's:
$(diff <(echo "$want") <(echo "$got"))"
    check_page "$host" "$host_man_name" "$source_dir/man/tessik-browser-host.1" tessik-browser-host
fi

finish
