# Sourced by ./relayo: starts the services the tests need, privately, in one
# throwaway folder, and stops them again. Nothing of the user's session is used.

start_test_services() {
    TEST_SERVICES_DIR="$(mktemp -d /tmp/relayo-test.XXXXXX)"
    export XDG_RUNTIME_DIR="$TEST_SERVICES_DIR/runtime"
    export XDG_CONFIG_HOME="$TEST_SERVICES_DIR/config"
    export XDG_DATA_HOME="$TEST_SERVICES_DIR/data"
    export XDG_CACHE_HOME="$TEST_SERVICES_DIR/cache"
    # Tests never download models: a program under test that would finds the hub closed.
    export HF_ENDPOINT="http://127.0.0.1:9"
    export RELAYO_TEST_ARTIFACTS="${RELAYO_TEST_ARTIFACTS:-$BUILD_DIR/test-artifacts}"
    mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$RELAYO_TEST_ARTIFACTS"
    chmod 700 "$XDG_RUNTIME_DIR"
    start_pulseaudio
    start_keyring
    start_xvfb
}

start_pulseaudio() {
    export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
    export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
    unset PULSE_COOKIE
    mkdir -p "$PULSE_RUNTIME_PATH"
    cat > "$TEST_SERVICES_DIR/pulse.pa" <<PA
load-module module-native-protocol-unix socket=$PULSE_RUNTIME_PATH/native auth-anonymous=1
load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers
set-default-sink speakers
load-module module-null-sink sink_name=mic_feed sink_properties=device.description=Microphone-Feed
load-module module-remap-source source_name=test_mic master=mic_feed.monitor source_properties=device.description=Test-Microphone
set-default-source test_mic
PA
    pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
        --system=false -n --file="$TEST_SERVICES_DIR/pulse.pa" \
        --log-target=file:"$TEST_SERVICES_DIR/pulse.log" >/dev/null 2>&1 &
    PULSE_PID=$!
    for _ in $(seq 1 100); do
        pactl info >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "PulseAudio did not start; see $TEST_SERVICES_DIR/pulse.log" >&2
    return 1
}

start_keyring() {
    eval "$(dbus-launch --sh-syntax)"
    export DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID
    # A throwaway password creates and unlocks a private login keyring.
    printf 'relayo-test' | gnome-keyring-daemon --daemonize --login >/dev/null 2>&1
    eval "$(gnome-keyring-daemon --start --components=secrets 2>/dev/null)"
    export GNOME_KEYRING_CONTROL
}

start_xvfb() {
    local display=99
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1920x1200x24 -nolisten tcp >"$TEST_SERVICES_DIR/xvfb.log" 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$display"
    for _ in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$display" ] && return 0
        sleep 0.1
    done
    echo "Xvfb did not start; see $TEST_SERVICES_DIR/xvfb.log" >&2
    return 1
}

stop_test_services() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
    [ -n "${PULSE_PID:-}" ] && kill "$PULSE_PID" 2>/dev/null
    # The keyring daemon leaves with its private session bus.
    [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$TEST_SERVICES_DIR"
    return 0
}
