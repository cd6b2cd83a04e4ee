#!/usr/bin/env bash
# Runs a test program on a private session bus with an unlocked gnome-keyring
# answering as the Secret Service. When that cannot be brought up, the program
# still runs, with BRINDLOW_KEYRING_SKIP saying why, so its tests skip visibly.
set -u
program=("$@")

missing=""
for tool in dbus-run-session dbus-send gnome-keyring-daemon; do
  command -v "$tool" >/dev/null || missing+=" $tool"
done
if [[ -n "$missing" ]]; then
  BRINDLOW_KEYRING_SKIP="not installed:$missing" exec "${program[@]}"
fi

if [[ "${BRINDLOW_IN_KEYRING_SESSION:-}" != 1 ]]; then
  BRINDLOW_IN_KEYRING_SESSION=1 exec dbus-run-session -- "$0" "${program[@]}"
fi

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
printf pass | HOME="$home" XDG_DATA_HOME="$home/data" gnome-keyring-daemon --foreground --unlock \
  --components=secrets >"$home/keyring.log" 2>&1 &
keyring=$!

ready=""
for _ in $(seq 1 100); do
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true"; then
    ready=1
    break
  fi
  kill -0 "$keyring" 2>/dev/null || break
  sleep 0.05
done

if [[ -n "$ready" ]]; then
  HOME="$home" "${program[@]}"
else
  BRINDLOW_KEYRING_SKIP="gnome-keyring-daemon did not take the Secret Service name within 5 s: $(tr '\n' ' ' <"$home/keyring.log")" \
    "${program[@]}"
fi
status=$?
kill "$keyring" 2>/dev/null
wait "$keyring" 2>/dev/null
exit $status
