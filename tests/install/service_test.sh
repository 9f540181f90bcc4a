#!/usr/bin/env bash
# Installs the host's component into a scratch prefix and checks one of its
# service files: the systemd user unit with `systemd-analyze verify` (it must
# say nothing), or the launchd agent with python3's plist parser; each must
# start the binary installed beside it.
# usage: service_test.sh BUILD_DIR unit|agent
# shellcheck source=tests/install/lib.sh
source "$(dirname "$0")/lib.sh"

build=$1 kind=$2
case $kind in
unit) command -v systemd-analyze >/dev/null || skip "systemd-analyze is not installed" ;;
agent) command -v python3 >/dev/null || skip "python3 (for plistlib) is not installed" ;;
*)
    echo "usage: service_test.sh BUILD_DIR unit|agent" >&2
    exit 2
    ;;
esac
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix binary=$tmp/prefix/bin/tessik-browser-host

if ! log=$(cmake --install "$build" --prefix "$prefix" --component tessik-browser-host 2>&1); then
    failed "cmake --install of the host's component fails:
$log"
    finish
fi
[[ -x $binary ]] || failed "the host's binary is not installed at $binary"

if [[ $kind == unit ]]; then
    unit=$prefix/lib/systemd/user/tessik-browser-host.service
    if [[ ! -f $unit ]]; then
        failed "no unit at $unit"
        finish
    fi
    exec_start=$(grep '^ExecStart=' "$unit")
    [[ $exec_start == "ExecStart=$binary" ]] ||
        failed "the unit starts '$exec_start', not the installed binary $binary"
    # A user manager of its own for the check, and man to find the page the
    # unit names as its documentation.
    mkdir -m 700 "$tmp/runtime"
    said=$(XDG_RUNTIME_DIR=$tmp/runtime MANPATH=$prefix/share/man \
        systemd-analyze --user verify "$unit" 2>&1)
    status=$?
    [[ $status == 0 && -z $said ]] ||
        failed "systemd-analyze verify (status $status) finds fault with the unit:
$said"
else
    agent=$prefix/share/tessik-browser-host/tessik-browser-host.plist
    if [[ ! -f $agent ]]; then
        failed "no agent at $agent"
        finish
    fi
    # The fields that decide what runs and when, one line each.
    fields=$(python3 -c '
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    p = plistlib.load(f, fmt=plistlib.FMT_XML)
print(p["Label"])
print(" ".join(p["ProgramArguments"]))
print(p["RunAtLoad"], p["KeepAlive"]["SuccessfulExit"])
' "$agent" 2>&1)
    status=$?
    want="tessik-browser-host
$binary
True False"
    [[ $status == 0 && $fields == "$want" ]] || failed "the agent does not read as expected (status $status):
$(diff <(echo "$want") <(echo "$fields"))"
fi

finish
