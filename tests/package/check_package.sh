#!/usr/bin/env bash
# The Debian package as a machine sees it. Usage: check_package.sh STAGE OUT [ARGUMENT]
#   build OUT BUILD-FOLDER   CPack makes the package into OUT
#   contents OUT VERSION     its files, control fields and lintian's verdict
#   run OUT writable|read-only   unpacked (never installed), the program serves a stream and a port
#                            set from its tray menu is saved; read-only: its folder is not
#                            writable, so settings and log are the user's own
set -euo pipefail
stage=$1 out=$2 argument=${3:-}
fail() { echo "check_package: $*" >&2; exit 1; }
for tool in dpkg-deb lintian; do
  command -v $tool >/dev/null || { echo "check_package: $tool is missing (scripts/setup); skipped"; exit 77; }
done
if [ "$stage" = build ]; then
  rm -rf "$out" && mkdir -p "$out"
  (cd "$argument" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "CPack failed"; }
  exit 0
fi
deb=$(echo "$out"/vistrel_*.deb)
[ -f "$deb" ] || fail "no package in $out"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  chmod -R u+w "$work" && rm -rf "$work"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$work"

if [ "$stage" = contents ]; then
  [ "$(basename "$deb")" = "vistrel_${argument}_$(dpkg --print-architecture).deb" ] || fail "named $deb"
  listing=$(dpkg-deb -c "$deb" | sed -E 's/^(\S+)( +\S+){4} +/\1 /')
  expected=("-rwxr-xr-x ./usr/lib/vistrel/vistrel" "-rw-r--r-- ./usr/lib/vistrel/libOrxEncoder.so"
    "lrwxrwxrwx ./usr/bin/vistrel -> ../lib/vistrel/vistrel"
    "-rw-r--r-- ./usr/lib/vistrel/languages/English.lng" "-rw-r--r-- ./usr/lib/vistrel/languages/Russian.lng"
    "-rw-r--r-- ./usr/share/applications/vistrel.desktop" "-rw-r--r-- ./usr/share/man/man1/vistrel.1.gz"
    "-rw-r--r-- ./usr/share/doc/vistrel/copyright" "-rw-r--r-- ./usr/lib/systemd/user/vistrel.service")
  for size in 16 22 24 32 48 64 128 256; do
    expected+=("-rw-r--r-- ./usr/share/icons/hicolor/${size}x${size}/apps/vistrel.png")
    file -b "$work/usr/share/icons/hicolor/${size}x${size}/apps/vistrel.png" | grep -q "$size x $size" ||
      fail "the ${size}x${size} icon is not ${size} pixels square"
  done
  for line in "${expected[@]}"; do grep -qxF -- "$line" <<<"$listing" || fail "missing: $line"; done
  # dpkg-shlibdeps found the libraries the program and the encoder link; none is listed by hand.
  fields=$(dpkg-deb -f "$deb" Package Version Depends)
  for want in "Package: vistrel" "Version: $argument" "libqt6widgets6" "libx264-"; do
    grep -qF -- "$want" <<<"$fields" || fail "control fields lack '$want':"$'\n'"$fields"
  done
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$work/usr/share/applications/vistrel.desktop" || fail "desktop entry refused"
  fi
  lintian --fail-on error "$deb" || fail "lintian found errors"
  exit 0
fi

[ "$stage" = run ] || fail "no stage '$stage'"
for tool in Xvfb ffmpeg python3 trayer xdotool xwininfo; do command -v $tool >/dev/null || fail "$tool is missing (scripts/setup)"; done
program=$work/usr/lib/vistrel home=$work/home runner=()
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
if [ "$argument" = writable ]; then
  settings=$program/SConfig.ini log=$program/vistrel.log
else
  settings=$home/.config/vistrel/SConfig.ini log=$home/.local/state/vistrel/vistrel.log
  chmod -R a-w "$program"
  if [ "$(id -u)" -eq 0 ]; then  # root writes into any folder; an ordinary user does not
    id vistrel-e2e >/dev/null 2>&1 || { echo "check_package: no user vistrel-e2e (scripts/setup); skipped"; exit 77; }
    runner=(setpriv --reuid=vistrel-e2e --regid=vistrel-e2e --init-groups)
  fi
fi
mkdir -p "$(dirname "$settings")" && printf '[RTSP]\nPort=%s\n' "$port" >"$settings"
[ ${#runner[@]} -eq 0 ] || chown -R vistrel-e2e: "$home"
chmod 755 "$work"
mkfifo "$work/ready"
screen_height=700 name=vistrel
Xvfb -displayfd 3 -screen 0 1024x${screen_height}x24 -nolisten tcp 3>"$work/ready" >/dev/null 2>&1 &
pids+=($!)
read -r -t 10 display <"$work/ready" || fail "Xvfb did not start"
export DISPLAY=":$display"
# shellcheck source=tests/support/tray_panel.sh
. "$(dirname "$0")/../support/tray_panel.sh"
start_tray_panel
pids+=("$tray_pid")
env -u XDG_CONFIG_HOME -u XDG_STATE_HOME -u XDG_DATA_HOME HOME="$home" QT_QPA_PLATFORM=xcb \
  "${runner[@]}" "$work/usr/bin/vistrel" >"$work/output.txt" 2>&1 &
pids+=($!)
program_pid=$!
report() { fail "$*"$'\n'"log $log:"$'\n'"$(tail -n 20 "$log" 2>&1)"$'\n'"output:"$'\n'"$(tail -n 20 "$work/output.txt")"; }
for _ in $(seq 150); do
  grep -qs "listen $port" "$log" && break
  kill -0 "$program_pid" 2>/dev/null || report "the program ended"
  sleep 0.1
done
grep -qs "listen $port" "$log" || report "no 'listen $port' in the log within 15 s"
frames=$(timeout -s KILL 30 ffmpeg -hide_banner -nostdin -loglevel error -rtsp_transport tcp \
  -i "rtsp://127.0.0.1:$port/live" -frames:v 3 -f framecrc - 2>&1 | grep -c '^0,' || true)
[ "$frames" -ge 3 ] || report "ffmpeg decoded $frames of 3 frames"

# The Port Setup dialog is the menu's second item.
new_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
open_dialog Down Down Return
xdotool key ctrl+a type "$new_port"
xdotool key Return
saved() { grep -qx "Port=$new_port" "$settings" && grep -qs "listen $new_port" "$log"; }
wait_for saved || report "the port $new_port set from the tray is not in $settings:"$'\n'"$(cat "$settings")"
echo "check_package: $argument program folder: 3 frames decoded, port set from the tray saved;" \
  "settings in $settings, log in $log"
