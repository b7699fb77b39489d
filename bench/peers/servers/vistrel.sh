#!/usr/bin/env bash
# Vistrel under the harness: servers/vistrel.sh DISPLAY PORT FPS WIDTH HEIGHT
# The program takes no arguments: it reads SConfig.ini beside itself, so each run gets a fresh
# folder holding the build's program and library and a config for this run.
# Copies sharing one program file name end each other at start-up, so every run gets a file name
# of its own (short enough for /proc/PID/comm); a CI run of the same build is left alone.
# WIDTH/HEIGHT equal to the screen leave Width at 0 (the desktop's own size), as a user would.
# VT_BUILD names the build folder to take the program from (an absolute path).
# VT_WRAP, if set, is put in front of the program (e.g. "perf record -g -o FILE --").
# VT_INI_EXTRA, if set, is added to SConfig.ini as it is (e.g. a [Publish] section).
set -eu
display=$1 port=$2 fps=$3 w=${4:-0} h=${5:-0}
build=${VT_BUILD:?set VT_BUILD to the absolute path of the build folder}
exe=$build/bin/vistrel
lib=$build/bin/libOrxEncoder.so
[ -x "$exe" ] || { echo "vistrel.sh: no $exe" >&2; exit 1; }
mkdir -p "${VT_TMP:-/tmp}"
dir=$(mktemp -d "${VT_TMP:-/tmp}/vt-bench-XXXXXX")
name=vtb$(printf '%05d' $((RANDOM % 100000)))$$
name=${name:0:15}
cp "$exe" "$dir/$name"
[ -f "$lib" ] && cp "$lib" "$dir/"
screen=$(DISPLAY=$display xdpyinfo 2>/dev/null | awk '/dimensions:/ {print $2}')
size=""
[ "${w}x${h}" != "$screen" ] && [ "$w" != 0 ] && size=$(printf 'Width=%s\nHeight=%s\n' "$w" "$h")
printf '[RTSP]\nPort=%s\nEnableUDP=1\n[System]\nfps=%s\n%s\n%s\n' "$port" "$fps" "$size" "${VT_INI_EXTRA:-}" \
    > "$dir/SConfig.ini"
cd "$dir"
echo "vistrel.sh: $dir/$name" >&2
export DISPLAY=$display QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# exec'd, so that the measured process tree is the program alone (no shell's memory in its RSS).
# The folder is left behind: VT_TMP names where the folders go, for the caller to remove.
# shellcheck disable=SC2086
exec ${VT_WRAP:-} "./$name"
