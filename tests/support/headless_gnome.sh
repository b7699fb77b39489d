#!/usr/bin/env bash
# Runs a command inside a headless GNOME session of its own: a private D-Bus session bus and
# runtime folder, PipeWire with WirePlumber, and mutter with one virtual monitor. Run as root, it
# switches to the user scripts/setup made, since a desktop session is never root's.
#   headless_gnome.sh WIDTHxHEIGHT command [args...]
# Exits 77 (a skip to CTest) when the machine lacks what the session needs.
set -u
size=$1
shift
user=vistrel-e2e

skip() { echo "SKIP: $*" >&2; exit 77; }
for tool in mutter pipewire wireplumber dbus-run-session gdbus; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/setup installs it)"
done

if [ "$(id -u)" -eq 0 ]; then
  id "$user" >/dev/null 2>&1 || skip "no user $user to run the desktop as (scripts/setup adds it)"
  exec runuser -u "$user" -- "$0" "$size" "$@"
fi

if [ -z "${VISTREL_IN_SESSION:-}" ]; then
  runtime=$(mktemp -d /tmp/vistrel-gnome.XXXXXX) || exit 1
  chmod 700 "$runtime"
  export VISTREL_IN_SESSION=1 XDG_RUNTIME_DIR=$runtime HOME=$runtime XDG_CONFIG_HOME=$runtime/config
  export XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-vistrel
  unset DISPLAY
  timeout -k 5 600 dbus-run-session -- "$0" "$size" "$@"
  status=$?
  rm -rf "$runtime"
  exit $status
fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT
log=$XDG_RUNTIME_DIR/session.log
pipewire >>"$log" 2>&1 & pids+=($!)
# WirePlumber gives up at once when PipeWire's socket is not there yet, and without it no stream
# is ever linked to a screen-cast node.
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
wireplumber >>"$log" 2>&1 & pids+=($!)
mutter --headless --no-x11 --wayland-display="$WAYLAND_DISPLAY" --virtual-monitor "$size" \
  >>"$log" 2>&1 & pids+=($!)
# For tests that restart the compositor, as a user's GNOME may restart under a running capture.
export VISTREL_MUTTER_PID=$!
if ! gdbus wait --session --timeout 30 org.gnome.Mutter.ScreenCast; then
  echo "the headless session did not come up; its log:" >&2
  cat "$log" >&2
  exit 1
fi
"$@"
