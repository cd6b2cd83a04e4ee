#!/usr/bin/env bash
# Runs a test program on a private session bus, with what it asks for running there:
#   with-session-bus.sh [--keyring] [--a11y] program [args...]
# --keyring: an unlocked gnome-keyring answering as the Secret Service.
# --keyring-without-login: a gnome-keyring never set up: it answers, but has no
#            default collection to store into (as on many desktops without a login keyring).
# --a11y:    the accessibility bus (at-spi-bus-launcher).
# When something cannot be brought up the program still runs, with
# BRINDLOW_SESSION_SKIP saying why, so its tests skip visibly.
set -u
keyring="" a11y=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --keyring) keyring=1; shift ;;
    --keyring-without-login) keyring=bare; shift ;;
    --a11y) a11y=1; shift ;;
    *) break ;;
  esac
done
program=("$@")

needed=(dbus-run-session dbus-send)
[[ -n "$keyring" ]] && needed+=(gnome-keyring-daemon)
missing=""
for tool in "${needed[@]}"; do
  command -v "$tool" >/dev/null || missing+=" $tool"
done
launcher=/usr/libexec/at-spi-bus-launcher
[[ -n "$a11y" && ! -x "$launcher" ]] && missing+=" $launcher (Debian package at-spi2-core)"
if [[ -n "$missing" ]]; then
  BRINDLOW_SESSION_SKIP="not installed:$missing" exec "${program[@]}"
fi

if [[ "${BRINDLOW_IN_TEST_SESSION:-}" != 1 ]]; then
  flags=()
  [[ "$keyring" == 1 ]] && flags+=(--keyring)
  [[ "$keyring" == bare ]] && flags+=(--keyring-without-login)
  [[ -n "$a11y" ]] && flags+=(--a11y)
  BRINDLOW_IN_TEST_SESSION=1 exec dbus-run-session -- "$0" "${flags[@]}" "${program[@]}"
fi

home=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$home"
}
trap cleanup EXIT

# Waits up to 5 s for a bus name; false if it never appears or its owner died.
wait_for_name() {
  local name=$1 pid=$2
  for _ in $(seq 1 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner "string:$name" 2>/dev/null | grep -q "boolean true" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

skip=""
if [[ -n "$keyring" ]]; then
  if [[ "$keyring" == bare ]]; then
    # No password: no login collection is made, and nothing can prompt for one here.
    HOME="$home" XDG_DATA_HOME="$home/data" DISPLAY= WAYLAND_DISPLAY= gnome-keyring-daemon --foreground \
      --components=secrets >"$home/keyring.log" 2>&1 </dev/null &
  else
    printf pass | HOME="$home" XDG_DATA_HOME="$home/data" gnome-keyring-daemon --foreground --unlock \
      --components=secrets >"$home/keyring.log" 2>&1 &
  fi
  pids+=($!)
  wait_for_name org.freedesktop.secrets "$!" ||
    skip+="gnome-keyring-daemon did not take the Secret Service name within 5 s: $(tr '\n' ' ' <"$home/keyring.log") "
fi
if [[ -n "$a11y" ]]; then
  "$launcher" --launch-immediately >"$home/a11y.log" 2>&1 &
  pids+=($!)
  wait_for_name org.a11y.Bus "$!" ||
    skip+="the accessibility bus did not start within 5 s: $(tr '\n' ' ' <"$home/a11y.log") "
fi

if [[ -n "$skip" ]]; then
  BRINDLOW_SESSION_SKIP="$skip" HOME="$home" "${program[@]}"
else
  HOME="$home" "${program[@]}"
fi
