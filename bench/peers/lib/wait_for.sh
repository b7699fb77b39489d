# shellcheck shell=bash
# Sourced by the bench scripts. wait_for CONDITION SECONDS: evaluates the condition every 0.1 s
# until it holds (0) or the seconds have passed (1), so no wait of a bench is unbounded.
wait_for() {
  local deadline=$((SECONDS + $2))
  until eval "$1"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}
