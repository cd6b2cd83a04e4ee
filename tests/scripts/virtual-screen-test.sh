#!/usr/bin/env bash
# scripts/run's virtual screen: answers as soon as it is handed over, keeps answering
# between clients, and a screen that never answers is said to have failed in time.
#   virtual-screen-test.sh <repository root>
set -uo pipefail
root=$1
for tool in Xvfb xdpyinfo xprop; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done
source "$root/scripts/lib/virtual-screen.sh"
failed=0
fail() { echo "FAIL: $*"; failed=1; }
pids=()
work=$(mktemp -d)
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; rm -rf "$work"' EXIT

unset DISPLAY
if start_virtual_screen 320x240x24; then
  xdpyinfo >/dev/null 2>&1 || fail "$DISPLAY does not answer once started"
  # The last client leaving must not reset the server: what it left on the root stays.
  xprop -root -f _BRINDLOW_PROBE 8s -set _BRINDLOW_PROBE kept || fail "xprop could not set a property"
  xprop -root _BRINDLOW_PROBE | grep -q '"kept"' || fail "the screen reset when its last client left"
else
  fail "the virtual screen did not start"
fi

# A server that hands out a display number but never serves it.
printf '#!/bin/sh\necho 97\nexec sleep 30\n' >"$work/silent-xvfb"
chmod +x "$work/silent-xvfb"
unset DISPLAY
started=$SECONDS
message=$(BRINDLOW_XVFB="$work/silent-xvfb" BRINDLOW_DISPLAY_WAIT=1 start_virtual_screen 320x240x24 2>&1) &&
  fail "a screen that never answers was taken"
[[ $message == *"virtual screen :97 started but did not answer within 1 s"* ]] || fail "it said: $message"
((SECONDS - started <= 5)) || fail "the wait took $((SECONDS - started)) s"

[[ $failed == 0 ]] && echo "virtual screen: PASSED"
exit $failed
