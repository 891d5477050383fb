#!/bin/sh
# Keeps one core busy while the end-to-end tests run, as a studio PC running other work would:
# every row must hold its timing with only the other core to itself.
#   busycore.sh start|stop STATEDIR
set -u
state=$2
pidfile=$state/stress-ng.pid

stop() {
    [ -f "$pidfile" ] && kill -TERM "$(cat "$pidfile")" 2>/dev/null
    rm -f "$pidfile"
}

case $1 in
start)
    mkdir -p "$state"
    # What an interrupted run left goes first.
    stop
    if ! command -v stress-ng >/dev/null; then
        echo "busycore: stress-ng is missing (make test installs it)" >&2
        exit 1
    fi
    # Long enough for every e2e test; still running after this, it stops by itself.
    stress-ng --cpu 1 --timeout 3600 >/dev/null 2>&1 &
    echo $! >"$pidfile"
    ;;
stop) stop ;;
*)
    echo "usage: busycore.sh start|stop STATEDIR" >&2
    exit 2
    ;;
esac
