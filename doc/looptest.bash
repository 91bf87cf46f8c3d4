# bash completion for looptest: port names that exist under /dev/tep/ for the first two
# arguments, then the option keys and their values.

_looptest_ports() {
    local port
    for port in "${LOOPTEST_PORT_DIR:-/dev/tep}"/[sSaA]*; do
        [[ -e $port ]] && printf '%s\n' "${port##*/}"
    done
}

_looptest() {
    # Read the line up to the cursor ourselves: bash splits words at '=' by default.
    local line=${COMP_LINE:0:COMP_POINT}
    local -a words
    read -ra words <<<"$line"
    [[ $line == *[[:space:]] ]] && words+=("")
    local cur=${words[-1]} argument=$((${#words[@]} - 1))

    local -a candidates
    if ((argument <= 2)); then
        mapfile -t candidates < <(_looptest_ports)
        ((argument == 1)) && candidates+=(--help --version)
        mapfile -t COMPREPLY < <(compgen -W "${candidates[*]}" -- "$cur")
        return
    fi

    if [[ $cur != *=* ]]; then
        mapfile -t COMPREPLY < <(compgen -W \
            "baudrate= databits= stopbits= parity= flowcontrol= duration= interval= check= result=
             duplex= rs485= rtsonsend= delaybefore= delayafter= rxduringtx=" \
            -- "$cur")
        compopt -o nospace 2>/dev/null
        return
    fi

    local key=${cur%%=*} value=${cur#*=}
    case $key in
        baudrate) candidates=(50 75 110 134 150 200 300 600 1200 1800 2400 4800 9600 19200
                              38400 57600 115200 230400 460800 500000 576000 921600 1000000
                              1152000 1500000 2000000 2500000 3000000 3500000 4000000) ;;
        databits) candidates=(5 6 7 8) ;;
        stopbits) candidates=(1 2) ;;
        parity) candidates=(none even odd mark space) ;;
        flowcontrol) candidates=(none hardware software) ;;
        check) candidates=(on internal off) ;;
        result)
            # A file to write: the paths bash offers for the value alone.
            mapfile -t COMPREPLY < <(compgen -f -- "$value")
            if [[ $COMP_WORDBREAKS != *=* ]]; then
                COMPREPLY=("${COMPREPLY[@]/#/$key=}")
            fi
            return ;;
        duplex) candidates=(full half) ;;
        rs485 | rxduringtx) candidates=(on off) ;;
        rtsonsend) candidates=(high low) ;;
        *) return ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "${candidates[*]}" -- "$value")
    # Where '=' splits words, bash completes only the value; else the whole argument.
    if [[ $COMP_WORDBREAKS != *=* ]]; then
        COMPREPLY=("${COMPREPLY[@]/#/$key=}")
    fi
}

complete -F _looptest looptest
