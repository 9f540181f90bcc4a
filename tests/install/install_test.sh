#!/usr/bin/env bash
# Installs the build tree into scratch prefixes and checks what lands where:
# the tool's component is exactly its five files, a full install holds no
# test or fuzz program, and the installed files work or match their sources.
# usage: install_test.sh BUILD_DIR SOURCE_DIR BINARY MAN_PAGE_NAME
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"

build=$1 source_dir=$2 binary=$3 man_name=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

expected=(
    bin/tessik-browser
    "share/man/man1/$man_name"
    share/bash-completion/completions/tessik-browser
    share/zsh/site-functions/_tessik-browser
    share/fish/vendor_completions.d/tessik-browser.fish
)

# installed_files PREFIX prints the files below PREFIX, relative to it.
installed_files() {
    (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
}

if ! log=$(cmake --install "$build" --prefix "$tmp/tool" --component tessik-browser 2>&1); then
    failed "cmake --install of the tessik-browser component fails:
$log"
    finish
fi
got=$(installed_files "$tmp/tool")
want=$(printf '%s\n' "${expected[@]}" | sort)
[[ $got == "$want" ]] || failed "the component installs other files than expected:
$(diff <(echo "$want") <(echo "$got"))"

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
page=$tool/share/man/man1/$man_name
if [[ $man_name == *.gz ]]; then
    gzip -dc "$page" | cmp -s - "$source_dir/man/tessik-browser.1" ||
        failed "the installed man page does not unpack to man/tessik-browser.1"
else
    cmp -s "$page" "$source_dir/man/tessik-browser.1" ||
        failed "the installed man page differs from man/tessik-browser.1"
fi

# man finds the page by name below the prefix, as it would below /usr/local.
if command -v man >/dev/null; then
    found=$(MANPATH=$tool/share/man man -w tessik-browser 2>&1)
    [[ $found == "$page" ]] || failed "man -w tessik-browser gives '$found', expected $page"
fi

finish
