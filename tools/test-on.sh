#!/bin/sh
# test-on.sh SERVICE COMMAND...: runs a test's COMMAND against one of the services that
# tools/test-services.sh started. SERVICE is a sound server (pulseaudio, pipewire) or a
# display, with the sound server a desktop of its kind runs (x11: PulseAudio, wayland: PipeWire).
set -eu
service="$1"
shift
case "$service" in
    pulseaudio | x11) server="${RELAYO_PULSEAUDIO_SERVER:-}" kind=pulseaudio ;;
    pipewire | wayland) server="${RELAYO_PIPEWIRE_SERVER:-}" kind=pipewire ;;
    *) echo "test-on.sh: unknown service $service" >&2; exit 2 ;;
esac
if [ -z "$server" ]; then
    echo "test-on.sh: no $kind server; start the test services (tools/test-services.sh)" >&2
    exit 2
fi
export PULSE_SERVER="$server" RELAYO_TEST_SOUND_SERVER="$kind"
if [ "$service" = wayland ]; then
    # The headless compositor has no seat, which Qt's Wayland text input does not survive
    # (Qt 6.4 dereferences the missing input device): no input method there.
    export WAYLAND_DISPLAY="$RELAYO_WAYLAND_DISPLAY" QT_QPA_PLATFORM=wayland QT_IM_MODULE=none
    unset DISPLAY
fi
exec "$@"
