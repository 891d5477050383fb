#!/bin/sh
# Starts or stops the end-to-end tests' own JACK servers (jackd2, dummy backend, no realtime
# unless asked for: NAME:RATE:rt runs it realtime, as studios do, at 256 frames a period).
#   jackserver.sh start STATEDIR NAME:RATE[:rt]...
#   jackserver.sh stop STATEDIR NAME:RATE...
#   jackserver.sh suspend|resume STATEDIR NAME:RATE...   sends jackd SIGSTOP, or SIGCONT
# Each server runs under a fixed name of its own, so it never meets anyone else's, and under a
# time limit, so that even a killed test run cannot leave it behind for long. Starting first
# stops whatever an interrupted run left, files in /dev/shm included.
set -u

action=$1
state=$2
shift 2
# Long enough for every e2e test; a server still up after this stops by itself.
lifetime=900

log() { echo "jackserver: $*" >&2; }

# jackd2 keeps a socket and semaphores per server name in /dev/shm; a server that was killed
# leaves them, and they would stop the next one with the same name from starting.
remove_server_files() {
    rm -f /dev/shm/jack_"$1"_* /dev/shm/jack_sem.*_"$1"_*
}

stop_server() {
    name=$1
    pidfile=$state/$name.pid
    if [ -f "$pidfile" ]; then
        pid=$(cat "$pidfile")
        # The pid is the time limit's, whose TERM reaches jackd and waits for it.
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null
            tries=0
            while kill -0 "$pid" 2>/dev/null && [ $tries -lt 100 ]; do
                sleep 0.1
                tries=$((tries + 1))
            done
            if kill -0 "$pid" 2>/dev/null; then
                log "$name did not stop, killing it"
                for child in $(pgrep -P "$pid"); do
                    kill -KILL "$child" 2>/dev/null
                done
                kill -KILL "$pid" 2>/dev/null
            fi
        fi
        rm -f "$pidfile"
    fi
    if JACK_NO_START_SERVER=1 jack_wait -s "$name" -c 2>/dev/null | grep -qx running; then
        log "a server named $name that we did not start is running; leaving it alone"
        return 1
    fi
    remove_server_files "$name"
}

# jackd is the time limit's child.
signal_server() {
    pidfile=$state/$1.pid
    [ -f "$pidfile" ] && pkill "-$2" -P "$(cat "$pidfile")" -x jackd
}

start_server() {
    name=$1
    rate=$2
    scheduling=-r
    period=
    if [ "$3" = rt ]; then
        scheduling=-R
        period="-p 256"
    fi
    stop_server "$name" || return 1
    # A server a test froze with SIGSTOP takes no TERM until continued: KILL follows.
    # shellcheck disable=SC2086
    JACK_NO_START_SERVER=1 setsid timeout --signal=TERM --kill-after=10 $lifetime \
        jackd -n "$name" $scheduling -d dummy -r "$rate" $period >"$state/$name.log" 2>&1 </dev/null &
    echo $! >"$state/$name.pid"
    # Answering is not enough: it must be our jackd that answers.
    if ! JACK_NO_START_SERVER=1 jack_wait -s "$name" -w -t 20 >/dev/null 2>&1 ||
        ! kill -0 "$(cat "$state/$name.pid")" 2>/dev/null; then
        log "$name did not come up:"
        cat "$state/$name.log" >&2
        stop_server "$name"
        return 1
    fi
    log "$name runs at $rate Hz"
}

mkdir -p "$state"
status=0
# jackd takes a second or two to exit: the servers stop side by side.
stopping=
for server in "$@"; do
    name=${server%%:*}
    rest=${server#*:}
    rate=${rest%%:*}
    mode=
    [ "$rest" != "$rate" ] && mode=${rest#*:}
    case $action in
    start) start_server "$name" "$rate" "$mode" || status=1 ;;
    stop)
        stop_server "$name" &
        stopping="$stopping $!"
        ;;
    suspend) signal_server "$name" STOP || status=1 ;;
    resume) signal_server "$name" CONT || status=1 ;;
    *)
        log "unknown action $action"
        exit 2
        ;;
    esac
done
for pid in $stopping; do
    wait "$pid" || status=1
done
exit $status
