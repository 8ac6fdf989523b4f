#!/bin/bash
# The bash completion of qrb-flash, driven as bash drives it: COMP_WORDS and
# COMP_CWORD set, the completion function called, COMPREPLY read. Runs under
# umockdev-run with emulated adapters, so that /dev/ttyUSB0 to ttyUSB3 exist.
#
#   check-completion.sh COMPLETION_SCRIPT QRB_FLASH
set -u

completion=$1
program=$2
failures=0

# shellcheck source=/dev/null
source "$completion"
complete -p qrb-flash >/dev/null || { echo "FAIL: the script registers no completion for qrb-flash"; exit 1; }

# The sorted candidates for the command line given as words, the last being
# the one under the cursor.
candidates() {
    COMP_WORDS=(qrb-flash "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _qrb_flash qrb-flash "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
    local want=$1
    shift
    local got
    got=$(candidates "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: qrb-flash $*| offers '$got', not '$want'"
        failures=$((failures + 1))
    fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/qrb-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/sub"
touch "$work/a.plist" "$work/b.txt" "$work/c.qrbtrace"

expect "doctor history ledger list trace" ""
expect "--watch" --wa
expect "--allow-older --allow-reinstall" --all
expect "/dev/ttyUSB0 /dev/ttyUSB1 /dev/ttyUSB2 /dev/ttyUSB3" --port /dev/tty
expect "/dev/ttyUSB2" --json --port /dev/ttyUSB2
expect "/dev/ttyUSB1" --port = /dev/ttyUSB1
expect "$work/a.plist $work/sub" --config "$work/"
expect "$work/a.plist $work/b.txt $work/c.qrbtrace $work/sub" --history "$work/"
expect "127.0.0.1:9464 [::1]:9464" --watch --metrics ""
expect "" --jobs ""
expect "--json --port" list --
expect "/dev/ttyUSB3" list --port /dev/ttyUSB3
expect "--serial --since --station" history --s
expect "--serial --since --station" --history "$work/h.db" history --s
expect "--json" --history = "$work/h.db" history --j
expect "show" trace ""
expect "init push status" ledger ""
expect "--json --port" doctor --
expect "$work/c.qrbtrace $work/sub" trace show "$work/"

# Every option that --help names is offered, and nothing it does not name.
help=$("$program" --help | sed -n '/^Options:/,/^$/p' | grep -o -- '--[a-z][a-z-]*' | LC_ALL=C sort -u | tr '\n' ' ' | sed 's/ $//')
expect "$help" --
history_help=$("$program" history --help | grep -o -- '--[a-z][a-z-]*' | LC_ALL=C sort -u | tr '\n' ' ' | sed 's/ $//')
expect "$(printf '%s\n' --help $history_help | LC_ALL=C sort -u | tr '\n' ' ' | sed 's/ $//')" history --

if [ "$failures" -gt 0 ]; then
    echo "$failures completion(s) wrong"
    exit 1
fi
echo "completion: every case offered what it should"
