#!/usr/bin/env bash
# Builds the Debian packages with cpack and checks for each its control
# fields, that it holds exactly its component's files, and that its packaged
# binary runs: the tool's, and the host's when the build has the host.
# usage: deb_test.sh BUILD_DIR BINARY VERSION MAN_PAGE_NAME [HOST_BINARY HOST_MAN_PAGE_NAME]
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
command -v cpack >/dev/null || skip "cpack is not installed"

build=$1 binary=$2 version=$3 man_name=$4 host_binary=${5:-} host_man_name=${6:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if ! log=$(cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" 2>&1); then
    failed "cpack -G DEB fails:
$log"
    finish
fi
arch=$(dpkg --print-architecture)
packages=(tessik-browser)
[[ -n $host_binary ]] && packages+=(tessik-browser-host)
want=$(for p in "${packages[@]}"; do echo "${p}_${version}_${arch}.deb"; done | sort)
got=$(find "$tmp/out" -maxdepth 1 -name "*.deb" -printf "%f\n" | sort)
[[ $got == "$want" ]] || failed "cpack made the packages '$got', expected '$want'"

# depends_on LIST NAME: whether the control field LIST (comma-separated
# entries, each a name with an optional version) names the package NAME.
depends_on() {
    tr ',' '\n' <<<"$1" | awk '{ print $1 }' | grep -qxF "$2"
}

# check_package NAME BINARY SUMMARY_PREFIX FILE...: the package NAME holds
# exactly FILE... (BINARY first), its Description starts with what follows
# SUMMARY_PREFIX on the first line of BINARY --help, and the packaged BINARY
# prints the same help as the build's.
check_package() {
    local name=$1 built=$2 prefix=$3
    shift 3
    local deb=$tmp/out/${name}_${version}_${arch}.deb
    [[ -f $deb ]] || return 1

    local summary entry field want got
    summary=$("$built" --help | sed -n "1s/^$prefix//p")
    [[ -n $summary ]] || failed "$name: the help text's first line lacks '$prefix'"
    for entry in "Package|$name" "Version|$version" "Architecture|$arch" "Section|utils" \
        "Priority|optional"; do
        field=${entry%%|*} want=${entry#*|}
        got=$(dpkg-deb -f "$deb" "$field")
        [[ $got == "$want" ]] || failed "$name: $field is '$got', expected '$want'"
    done
    local maintainer description packaged
    maintainer=$(dpkg-deb -f "$deb" Maintainer)
    [[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\>$ ]] ||
        failed "$name: Maintainer '$maintainer' is not 'name <address>'"
    description=$(dpkg-deb -f "$deb" Description)
    [[ ${description%%$'\n'*} == "$summary" ]] ||
        failed "$name: the Description's summary is '${description%%$'\n'*}', expected '$summary'"
    [[ $description == *$'\n'?* ]] || failed "$name: the Description has no long text"

    want=$(printf './usr/%s\n' "$@" | sort)
    got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
    [[ $got == "$want" ]] || failed "$name: the package holds other files than expected:
$(diff <(echo "$want") <(echo "$got"))"

    dpkg-deb -x "$deb" "$tmp/$name"
    packaged=$tmp/$name/usr/$1
    want=$("$built" --help; echo "status $?")
    got=$("$packaged" --help; echo "status $?")
    [[ $got == "$want" ]] || failed "$name: the packaged binary's --help differs from the build's:
$(diff <(echo "$want") <(echo "$got"))"
}

check_package tessik-browser "$binary" 'tessik-browser — ' \
    bin/tessik-browser \
    "share/man/man1/$man_name" \
    share/bash-completion/completions/tessik-browser \
    share/zsh/site-functions/_tessik-browser \
    share/fish/vendor_completions.d/tessik-browser.fish
# A static binary needs no package; a dynamic one needs at least the C library's.
deb=$tmp/out/tessik-browser_${version}_${arch}.deb
depends=$(dpkg-deb -f "$deb" Depends)
if ldd "$tmp/tessik-browser/usr/bin/tessik-browser" 2>&1 | grep -q 'not a dynamic executable'; then
    [[ -z $depends ]] || failed "the static binary's package depends on '$depends'"
else
    depends_on "$depends" libc6 || failed "the dynamic binary's package depends on '$depends', not libc6"
fi

if [[ -n $host_binary ]]; then
    check_package tessik-browser-host "$host_binary" 'tessik-browser-host - ' \
        bin/tessik-browser-host \
        "share/man/man1/$host_man_name" \
        lib/systemd/user/tessik-browser-host.service \
        share/tessik-browser-host/tessik-browser-host.plist
    # The service files start the binary where the package puts it, not where
    # the build tree would install it.
    unpacked=$tmp/tessik-browser-host/usr
    exec_start=$(grep '^ExecStart=' "$unpacked/lib/systemd/user/tessik-browser-host.service")
    [[ $exec_start == ExecStart=/usr/bin/tessik-browser-host ]] ||
        failed "the packaged unit starts '$exec_start', not /usr/bin/tessik-browser-host"
    grep -qF '<string>/usr/bin/tessik-browser-host</string>' \
        "$unpacked/share/tessik-browser-host/tessik-browser-host.plist" ||
        failed "the packaged agent does not start /usr/bin/tessik-browser-host"
    # The host is nothing without the browser it drives, and of little use
    # without the client.
    deb=$tmp/out/tessik-browser-host_${version}_${arch}.deb
    depends=$(dpkg-deb -f "$deb" Depends)
    for needed in chromium libc6; do
        depends_on "$depends" "$needed" || failed "the host's package depends on '$depends', not $needed"
    done
    recommends=$(dpkg-deb -f "$deb" Recommends)
    depends_on "$recommends" tessik-browser ||
        failed "the host's package recommends '$recommends', not tessik-browser"
fi

finish
