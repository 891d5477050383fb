#!/bin/sh
# Starts, kills or stops the end-to-end tests' own headless PipeWire: pipewire, wireplumber and
# pipewire-pulse on a session bus of their own, with a private runtime folder, a null source and
# a null sink at 48 kHz (and a second one, where the tests' control pass-through plays), and ALSA
# configurations that point the default PCM at them.
#   pipewireserver.sh start STATEDIR   leaves a running server alone, else starts one afresh
#   pipewireserver.sh kill STATEDIR    kills the pipewire daemon the way a crash would
#   pipewireserver.sh stop STATEDIR
# Clients find it with XDG_RUNTIME_DIR=STATEDIR/runtime; ALSA_CONFIG_PATH set to
# STATEDIR/asound-pipewire.conf or STATEDIR/asound-pulse.conf makes the default PCM the
# `pipewire` or the `pulse` plug-in. Everything runs in one process group under a time limit, so
# that even a killed test run cannot leave it behind for long.
set -u

action=$1
# The daemons want absolute paths.
state=$(mkdir -p "$2" && cd "$2" && pwd)
# Long enough for every e2e test; a server still up after this stops by itself.
lifetime=900
rate=48000
daemons="pipewire wireplumber pipewire-pulse"

log() { echo "pipewireserver: $*" >&2; }

alive() {
    [ -f "$state/$1.pid" ] && kill -0 "$(cat "$state/$1.pid")" 2>/dev/null
}

# The group leader is the time limit, whose process group holds the bus and every daemon.
stop_group() {
    if alive group; then
        group=$(cat "$state/group.pid")
        kill -TERM "-$group" 2>/dev/null
        tries=0
        while kill -0 "-$group" 2>/dev/null && [ $tries -lt 50 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
        kill -KILL "-$group" 2>/dev/null
    fi
    rm -f "$state"/*.pid
}

# A null node: name, media class, and its priority as the session manager's default.
null_node() {
    cat <<EOF
    { factory = adapter
        args = {
            factory.name = support.null-audio-sink
            node.name = $1
            media.class = $2
            audio.position = [ FL FR ]
            audio.rate = $rate
            priority.session = $3
        }
    }
EOF
}

write_config() {
    mkdir -p "$state/config/pipewire/pipewire.conf.d" "$state/runtime" "$state/home"
    chmod 700 "$state/runtime"
    {
        cat <<EOF
context.properties = {
    default.clock.rate = $rate
    default.clock.allowed-rates = [ $rate ]
}
context.objects = [
EOF
        null_node lagvane-test-sink Audio/Sink 2000
        null_node lagvane-test-control Audio/Sink 100
        null_node lagvane-test-source Audio/Source/Virtual 2000
        echo ']'
    } >"$state/config/pipewire/pipewire.conf.d/lagvane-test.conf"
    for plugin in pipewire pulse; do
        printf 'pcm.!default { type %s }\nctl.!default { type %s }\n' $plugin $plugin \
            >"$state/asound-$plugin.conf"
    done
    # The control pass-through's device: capture as the default's, playback into the control sink.
    echo 'pcm.lagvanecontrol { type pipewire playback_node "lagvane-test-control" }' \
        >>"$state/asound-pipewire.conf"
    echo 'pcm.lagvanecontrol { type asym playback.pcm { type pulse device "lagvane-test-control" }
        capture.pcm { type pulse } }' >>"$state/asound-pulse.conf"
}

# Every daemon writes its pid, so that one can be killed alone.
start_group() {
    : >"$state/server.log"
    # A killed server leaves its socket: the wait below would pass at once, and the session
    # manager, started before the new server listens, give up on it.
    rm -f "$state/runtime/pipewire-0" "$state/runtime/pipewire-0.lock"
    # Nothing of the caller's environment: a test that restarts the server has set its own
    # (PIPEWIRE_NOJACK, the ALSA configuration, the JACK library's path), and a server it
    # starts must be the one the suite started.
    env -i PATH="$PATH" XDG_RUNTIME_DIR="$state/runtime" XDG_CONFIG_HOME="$state/config" \
        HOME="$state/home" XDG_STATE_HOME="$state/home" \
        setsid timeout --signal=TERM --kill-after=10 $lifetime dbus-run-session -- sh -c '
            state=$1
            for daemon in pipewire wireplumber pipewire-pulse; do
                "$daemon" &
                echo $! >"$state/$daemon.pid"
                # wireplumber and pipewire-pulse need the server to be there: its socket.
                tries=0
                while [ $daemon = pipewire ] && [ ! -S "$XDG_RUNTIME_DIR/pipewire-0" ] &&
                    [ $tries -lt 300 ]; do
                    sleep 0.05
                    tries=$((tries + 1))
                done
            done
            wait' sh "$state" >>"$state/server.log" 2>&1 </dev/null &
    echo $! >"$state/group.pid"
}

# Up once the null nodes are there and a pulse client's new stream is linked and gets data:
# the session manager answers a while after the server does, and a client's stream waits
# for it.
ready() {
    XDG_RUNTIME_DIR=$state/runtime timeout 5 pw-cli ls Node 2>/dev/null |
        grep -q lagvane-test-source &&
        [ "$(XDG_RUNTIME_DIR=$state/runtime timeout 2 parec --latency-msec=50 2>/dev/null |
            head -c 4096 | wc -c)" -eq 4096 ]
}

start() {
    running=1
    for daemon in $daemons; do alive "$daemon" || running=0; done
    [ $running = 1 ] && ready && return 0
    stop_group
    write_config
    start_group
    # Each try may wait on a server that does not answer: the start is bounded by the clock.
    give_up=$(($(date +%s) + 20))
    until ready; do
        # A pipewire that exited is not coming up, whatever the other daemons still try.
        if [ "$(date +%s)" -ge $give_up ] || ! alive group ||
            { [ -f "$state/pipewire.pid" ] && ! alive pipewire; }; then
            log "PipeWire did not come up:"
            cat "$state/server.log" >&2
            stop_group
            return 1
        fi
        sleep 0.1
    done
    log "PipeWire runs at $rate Hz in $state/runtime"
}

case $action in
# 77 tells ctest that the fixture was skipped: the tests then skip with the reason.
start) start || exit 77 ;;
kill) alive pipewire && kill -KILL "$(cat "$state/pipewire.pid")" ;;
stop) stop_group ;;
*)
    log "unknown action $action"
    exit 2
    ;;
esac
