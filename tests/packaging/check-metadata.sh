#!/usr/bin/env bash
# Validates the desktop entry and the AppStream metainfo, offline, and checks that
# they name each other, the icon and the project's version consistently.
#   check-metadata.sh <packaging dir> <project version>
set -uo pipefail
packaging=$1 version=$2
desktop=$packaging/brindlow-recorder.desktop
metainfo=$packaging/com.brindlow.recorder.metainfo.xml

for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Hints and warnings count as failures: a clean entry prints nothing.
out=$(desktop-file-validate "$desktop" 2>&1)
[[ $? -eq 0 && -z "$out" ]] || fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || fail "appstreamcli validate: $out"

field() { sed -n "s/^$1=//p" "$desktop"; }
[[ $(field Exec) == brindlow-recorder-app ]] || fail "Exec is '$(field Exec)'"
[[ $(field StartupWMClass) == brindlow-recorder-app ]] || fail "StartupWMClass is '$(field StartupWMClass)'"
[[ -f "$packaging/icons/$(field Icon).svg" ]] || fail "no icon file for Icon=$(field Icon)"
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
[[ $launchable == "$(basename "$desktop")" ]] || fail "metainfo launches '$launchable'"
# The newest release comes first; a version bump needs its release entry.
release=$(sed -n 's:.*<release version="\([^"]*\)".*:\1:p' "$metainfo" | head -n 1)
[[ $release == "$version" ]] || fail "newest release in the metainfo is '$release', the project is $version"

# The package's changelog names the version it is built at.
changelog=$(sed -n '1s/^brindlow-recorder (\([^)]*\)).*/\1/p' "$packaging/changelog")
[[ $changelog == "$version" ]] || fail "the newest changelog entry is '$changelog', the project is $version"

exit $failed
