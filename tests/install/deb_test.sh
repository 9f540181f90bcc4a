#!/usr/bin/env bash
# Builds the Debian package with cpack and checks its control fields, that it
# holds exactly the tool's files, and that the packaged binary runs.
# usage: deb_test.sh BUILD_DIR BINARY VERSION MAN_PAGE_NAME
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
command -v cpack >/dev/null || skip "cpack is not installed"

build=$1 binary=$2 version=$3 man_name=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if ! log=$(cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" 2>&1); then
    failed "cpack -G DEB fails:
$log"
    finish
fi
arch=$(dpkg --print-architecture)
deb=$tmp/out/tessik-browser_${version}_${arch}.deb
if [[ ! -f $deb ]]; then
    failed "no package $(basename "$deb"); cpack made: $(ls "$tmp/out")"
    finish
fi

# The summary is the help text's first line after the program's name.
summary=$("$binary" --help | sed -n '1s/^tessik-browser — //p')
fields=(
    "Package|tessik-browser"
    "Version|$version"
    "Architecture|$arch"
    "Section|utils"
    "Priority|optional"
)
for entry in "${fields[@]}"; do
    field=${entry%%|*} want=${entry#*|}
    got=$(dpkg-deb -f "$deb" "$field")
    [[ $got == "$want" ]] || failed "$field is '$got', expected '$want'"
done
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\>$ ]] ||
    failed "Maintainer '$maintainer' is not 'name <address>'"
description=$(dpkg-deb -f "$deb" Description)
[[ ${description%%$'\n'*} == "$summary" ]] ||
    failed "the Description's summary is '${description%%$'\n'*}', expected '$summary'"
[[ $description == *$'\n'?* ]] || failed "the Description has no long text"

want=$(printf '%s\n' \
    ./usr/bin/tessik-browser \
    "./usr/share/man/man1/$man_name" \
    ./usr/share/bash-completion/completions/tessik-browser \
    ./usr/share/zsh/site-functions/_tessik-browser \
    ./usr/share/fish/vendor_completions.d/tessik-browser.fish | sort)
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[[ $got == "$want" ]] || failed "the package holds other files than expected:
$(diff <(echo "$want") <(echo "$got"))"

dpkg-deb -x "$deb" "$tmp/root"
packaged=$tmp/root/usr/bin/tessik-browser
want=$("$binary" --help; echo "status $?")
got=$("$packaged" --help; echo "status $?")
[[ $got == "$want" ]] || failed "the packaged binary's --help differs from the build's:
$(diff <(echo "$want") <(echo "$got"))"

# A static binary needs no package; a dynamic one needs at least the C library's.
depends=$(dpkg-deb -f "$deb" Depends)
if ldd "$packaged" 2>&1 | grep -q 'not a dynamic executable'; then
    [[ -z $depends ]] || failed "the static binary's package depends on '$depends'"
else
    [[ $depends == *libc6* ]] || failed "the dynamic binary's package depends on '$depends', not libc6"
fi

finish
