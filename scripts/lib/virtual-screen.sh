# Sourced by scripts/run: a virtual X screen that is ready before anything records on it.

# Whether $DISPLAY answers, tried for at most $1 seconds.
display_answers() {
  local limit=$1 tries
  for ((tries = 0; tries < limit * 10; tries++)); do
    xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# start_virtual_screen WxHxDEPTH: starts Xvfb on a free display and exports DISPLAY once
# the display answers, waiting at most $BRINDLOW_DISPLAY_WAIT seconds (10). Its pid is
# added to the array `pids`. It never resets when its last client leaves, so a client
# that connects just then is not turned away. Says what failed and returns 1 otherwise.
start_virtual_screen() {
  local size=$1 wait=${BRINDLOW_DISPLAY_WAIT:-10} log number fd
  log=$(mktemp)
  exec {fd}< <(exec "${BRINDLOW_XVFB:-Xvfb}" -displayfd 1 -screen 0 "$size" -nolisten tcp -noreset 2>"$log")
  pids+=($!)
  if ! read -r -t "$wait" number <&"$fd" || [[ ! $number =~ ^[0-9]+$ ]]; then
    echo "run: the virtual screen (Xvfb) did not start within $wait s: $(tail -n 3 "$log" | tr '\n' ' ')" >&2
    return 1
  fi
  export DISPLAY=":$number"
  if ! display_answers "$wait"; then
    echo "run: the virtual screen $DISPLAY started but did not answer within $wait s: $(tail -n 3 "$log" | tr '\n' ' ')" >&2
    return 1
  fi
}
