# Sourced by ./relayo: starts the services the tests need, privately, in one
# throwaway folder, and stops them again. Nothing of the user's session is used.
# Both sound servers (PulseAudio and PipeWire with its PulseAudio server) and both
# displays (an X server and a Wayland compositor) run side by side; tools/test-on.sh
# points a test at one of them.

start_test_services() {
    TEST_SERVICES_DIR="$(mktemp -d /tmp/relayo-test.XXXXXX)"
    export XDG_RUNTIME_DIR="$TEST_SERVICES_DIR/runtime"
    export XDG_CONFIG_HOME="$TEST_SERVICES_DIR/config"
    export XDG_DATA_HOME="$TEST_SERVICES_DIR/data"
    export XDG_CACHE_HOME="$TEST_SERVICES_DIR/cache"
    export XDG_STATE_HOME="$TEST_SERVICES_DIR/state"
    # Tests never download models: a program under test that would finds the hub closed.
    export HF_ENDPOINT="http://127.0.0.1:9"
    export RELAYO_TEST_ARTIFACTS="${RELAYO_TEST_ARTIFACTS:-$BUILD_DIR/test-artifacts}"
    mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" \
        "$XDG_STATE_HOME" "$RELAYO_TEST_ARTIFACTS"
    chmod 700 "$XDG_RUNTIME_DIR"
    unset PULSE_COOKIE PIPEWIRE_REMOTE WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
    # Started before the session bus, PulseAudio leaves its bus name to the tests' private
    # servers.
    start_pulseaudio
    # PipeWire's session manager and the keyring talk over the private session bus.
    start_session_bus
    start_pipewire
    start_keyring
    start_xvfb
    start_weston
    # Whatever is not pointed elsewhere runs on PulseAudio and X11.
    export PULSE_SERVER="$RELAYO_PULSEAUDIO_SERVER"
}

# Waits up to ten seconds until the command given succeeds.
wait_until() {
    for _ in $(seq 1 100); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

start_session_bus() {
    eval "$(dbus-launch --sh-syntax)"
    export DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID
}

# The speakers (the default output), the meeting application's microphone feed and a test
# microphone recording that feed, made on the server at `PULSE_SERVER`.
make_test_devices() {
    pactl load-module module-null-sink sink_name=speakers \
        sink_properties=device.description=Speakers >/dev/null &&
        pactl set-default-sink speakers &&
        pactl load-module module-null-sink sink_name=mic_feed \
            sink_properties=device.description=Microphone-Feed >/dev/null &&
        pactl load-module module-remap-source source_name=test_mic master=mic_feed.monitor \
            source_properties=device.description=Test-Microphone >/dev/null &&
        pactl set-default-source test_mic
}

start_pulseaudio() {
    export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
    export RELAYO_PULSEAUDIO_SERVER="unix:$PULSE_RUNTIME_PATH/native"
    mkdir -p "$PULSE_RUNTIME_PATH"
    echo "load-module module-native-protocol-unix socket=$PULSE_RUNTIME_PATH/native auth-anonymous=1" \
        >"$TEST_SERVICES_DIR/pulse.pa"
    pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
        --system=false -n --file="$TEST_SERVICES_DIR/pulse.pa" \
        --log-target=file:"$TEST_SERVICES_DIR/pulse.log" >/dev/null 2>&1 &
    PULSE_PID=$!
    if ! PULSE_SERVER="$RELAYO_PULSEAUDIO_SERVER" wait_until pactl info ||
        ! PULSE_SERVER="$RELAYO_PULSEAUDIO_SERVER" make_test_devices; then
        echo "PulseAudio did not start; see $TEST_SERVICES_DIR/pulse.log" >&2
        return 1
    fi
}

# PipeWire, its session manager and its PulseAudio server, as a desktop session starts them,
# in a runtime folder of their own.
start_pipewire() {
    PIPEWIRE_RUNTIME="$TEST_SERVICES_DIR/pipewire"
    mkdir -p "$PIPEWIRE_RUNTIME/pulse" "$TEST_SERVICES_DIR/pipewire-state"
    chmod 700 "$PIPEWIRE_RUNTIME"
    export RELAYO_PIPEWIRE_SERVER="unix:$PIPEWIRE_RUNTIME/pulse/native"
    PIPEWIRE_PIDS=()
    start_pipewire_program pipewire
    # The session manager and the PulseAudio server give up when PipeWire's socket is not there.
    if wait_until test -S "$PIPEWIRE_RUNTIME/pipewire-0"; then
        start_pipewire_program wireplumber
        start_pipewire_program pipewire-pulse
    fi
    if ! PULSE_SERVER="$RELAYO_PIPEWIRE_SERVER" wait_until pactl info ||
        ! PULSE_SERVER="$RELAYO_PIPEWIRE_SERVER" make_test_devices; then
        echo "PipeWire did not start; see $TEST_SERVICES_DIR/pipewire.log" >&2
        return 1
    fi
}

start_pipewire_program() {
    XDG_RUNTIME_DIR="$PIPEWIRE_RUNTIME" PULSE_RUNTIME_PATH="$PIPEWIRE_RUNTIME/pulse" \
        XDG_STATE_HOME="$TEST_SERVICES_DIR/pipewire-state" \
        "$1" >>"$TEST_SERVICES_DIR/pipewire.log" 2>&1 &
    PIPEWIRE_PIDS+=($!)
}

start_keyring() {
    # A throwaway password creates and unlocks a private login keyring.
    printf 'relayo-test' | gnome-keyring-daemon --daemonize --login >/dev/null 2>&1
    eval "$(gnome-keyring-daemon --start --components=secrets 2>/dev/null)"
    export GNOME_KEYRING_CONTROL
    # Tests that write the keyring check that they talk to this bus.
    export RELAYO_TEST_KEYRING_BUS="$DBUS_SESSION_BUS_ADDRESS"
}

start_xvfb() {
    local display=99
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1920x1200x24 -nolisten tcp >"$TEST_SERVICES_DIR/xvfb.log" 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$display"
    if ! wait_until test -e "/tmp/.X11-unix/X$display"; then
        echo "Xvfb did not start; see $TEST_SERVICES_DIR/xvfb.log" >&2
        return 1
    fi
}

# Weston's headless output, drawn by the CPU so that screenshots show the windows; --debug
# lets weston-screenshooter take them.
start_weston() {
    export RELAYO_WAYLAND_DISPLAY="relayo-wayland"
    weston --backend=headless-backend.so --use-pixman --width=1920 --height=1200 --no-config \
        --socket="$RELAYO_WAYLAND_DISPLAY" --idle-time=0 --debug \
        --log="$TEST_SERVICES_DIR/weston.log" >/dev/null 2>&1 &
    WESTON_PID=$!
    if ! wait_until test -S "$XDG_RUNTIME_DIR/$RELAYO_WAYLAND_DISPLAY"; then
        echo "Weston did not start; see $TEST_SERVICES_DIR/weston.log" >&2
        return 1
    fi
}

stop_test_services() {
    local pid
    for pid in ${WESTON_PID:-} ${XVFB_PID:-} ${PIPEWIRE_PIDS[@]+"${PIPEWIRE_PIDS[@]}"} ${PULSE_PID:-}; do
        kill "$pid" 2>/dev/null
    done
    # The keyring daemon leaves with its private session bus.
    [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$TEST_SERVICES_DIR"
    return 0
}
