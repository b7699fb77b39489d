# shellcheck shell=bash disable=SC2016,SC2034,SC2154,SC2317
# (awk conditions in single quotes; variables and functions shared with the caller)
# A tray panel on $DISPLAY and the program's windows on it, driven with xdotool the way a user
# drives them. Sourced; the caller sets `name` (the program's file name, which is its windows'
# class), `screen_height` and a `fail` function, and ends `tray_pid` when it is done.

# Asks a condition every 100 ms for up to ten seconds.
wait_for() {
  for _ in $(seq 100); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

start_tray_panel() {
  trayer --edge top --align right --widthtype pixel --width 60 --height 24 >/dev/null 2>&1 &
  tray_pid=$!
  panel_up() { xwininfo -root -tree | grep -q '"panel": ("panel" "trayer")'; }
  wait_for panel_up || fail "the tray panel did not come up"
  sleep 0.5  # the panel's window comes a moment before it takes the notification area
}

# The program's windows that can be seen, one "id width height x y name" line each.
windows() {
  local id geometry X=0 Y=0 WIDTH=0 HEIGHT=0
  for id in $(xdotool search --onlyvisible --classname "^${name}\$" 2>/dev/null); do
    geometry=$(xdotool getwindowgeometry --shell "$id" 2>/dev/null) || continue
    eval "$geometry"
    echo "$id $WIDTH $HEIGHT $X $Y $(xdotool getwindowname "$id" 2>/dev/null)"
  done
}
# The first window for which the awk condition holds, e.g. '$2 == 540'.
found=""
find_window() {
  found=$(windows | awk -v name="$name" "$1 { print; exit }")
  [ -n "$found" ]
}
# The menu has no title of its own: it goes by the program's name.
is_icon='$2 <= 64 && $3 <= 64'
is_splash='$2 == 540 && $3 == 320'
is_menu='$6 == name && !($2 <= 64 && $3 <= 64)'
is_dialog='$6 != name && !($2 <= 64 && $3 <= 64) && !($2 == 540 && $3 == 320)'

has_focus() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }
gone() { ! windows | grep -q "^$1 "; }

# Opens the tray menu; `menu` holds its window line.
open_menu() {
  local id width height x y
  wait_for find_window "$is_icon" || fail "no tray icon"
  read -r id width height x y _ <<<"$found"
  xdotool mousemove $((x + width / 2)) $((y + height / 2)) click 1
  wait_for find_window "$is_menu" || fail "the menu did not open"
  menu=$found
  # Off the menu, so that no item is highlighted and the keys start from the top.
  xdotool mousemove 5 $((screen_height - 5))
  sleep 0.3
}

# Opens a menu item with the given keys and waits until its window holds the keyboard; `dialog`
# is its id.
open_dialog() {
  open_menu
  xdotool key --delay 50 "$@"
  wait_for find_window "$is_dialog" || fail "no window after $*"
  read -r dialog _ <<<"$found"
  wait_for has_focus "$dialog" || fail "the window after $* did not get the keyboard"
}
