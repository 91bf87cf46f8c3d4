#!/usr/bin/env bash
# The bash completion, run as bash runs it, on sample command lines.
set -u
completion=$1
ports=$(mktemp -d)
trap 'rm -rf "$ports"' EXIT
touch "$ports/a4" "$ports/a5" "$ports/s1" "$ports/x9"
export LOOPTEST_PORT_DIR=$ports
source "$completion"

failures=0
# expect LINE WORDBREAKS EXPECTED...: completing LINE (cursor at its end) offers EXPECTED.
expect() {
    local line=$1 breaks=$2
    shift 2
    COMP_LINE=$line COMP_POINT=${#line} COMP_WORDBREAKS=$breaks
    COMPREPLY=()
    _looptest
    local got="${COMPREPLY[*]}" want="$*"
    if [[ $got != "$want" ]]; then
        echo "FAIL: '$line' offers '$got', not '$want'"
        failures=$((failures + 1))
    fi
}

default_breaks=$' \t\n"\'><=;|&(:'
expect "looptest " "$default_breaks" a4 a5 s1 --help --version
expect "looptest a" "$default_breaks" a4 a5
expect "looptest a4 " "$default_breaks" a4 a5 s1
expect "looptest a4 a5 " "$default_breaks" baudrate= databits= stopbits= parity= flowcontrol= duration= \
  interval= check= result= duplex= rs485= rtsonsend= delaybefore= delayafter= rxduringtx=
expect "looptest a4 a5 result=$ports/x" "$default_breaks" "$ports/x9"
expect "looptest a4 a5 result=$ports/x" $' \t\n' "result=$ports/x9"
expect "looptest a4 a5 pa" "$default_breaks" parity=
expect "looptest a4 a5 parity=" "$default_breaks" none even odd mark space
expect "looptest a4 a5 parity=e" "$default_breaks" even
expect "looptest a4 a5 baudrate=96" "$default_breaks" 9600
expect "looptest a4 a5 baudrate=15" "$default_breaks" 150 1500000
expect "looptest a4 a5 flowcontrol=h" $' \t\n' flowcontrol=hardware
expect "looptest a4 a5 check=" "$default_breaks" on internal off
expect "looptest a4 a5 rts" "$default_breaks" rtsonsend=
expect "looptest a4 a5 rxduringtx=" "$default_breaks" on off
expect "looptest a4 a5 duration=" "$default_breaks"
expect "looptest a4 a5 parity=odd st" "$default_breaks" stopbits=
exit $((failures > 0))
