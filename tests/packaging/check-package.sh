#!/usr/bin/env bash
# Builds the Debian package from an already built tree into a temporary folder and
# checks what it holds and declares.
#   check-package.sh <cpack> <build dir> <project version> <1 when the app is built, else 0>
set -uo pipefail
cpack=$1 build=$2 version=$3 with_app=$4

for tool in "$cpack" dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
deb=$work/brindlow-recorder_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { ls "$work"; echo "FAIL: no $(basename "$deb")"; exit 1; }

failed=0
fail() { echo "FAIL: $*"; failed=1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
expected=(
  ./usr/bin/brindlow-recorder
  ./usr/bin/brindlow-devserver
  ./usr/share/brindlow-recorder/info.json
  ./usr/share/applications/brindlow-recorder.desktop
  ./usr/share/metainfo/com.brindlow.recorder.metainfo.xml
  ./usr/share/icons/hicolor/scalable/apps/brindlow-recorder.svg
  ./usr/share/doc/brindlow-recorder/copyright
  ./usr/share/doc/brindlow-recorder/changelog.gz
  ./usr/share/man/man1/brindlow-recorder.1.gz
  ./usr/share/man/man1/brindlow-devserver.1.gz
)
[[ $with_app == 1 ]] && expected+=(./usr/bin/brindlow-recorder-app ./usr/share/man/man1/brindlow-recorder-app.1.gz)
sizes=(16 32 48 64 128 256 512)
for size in "${sizes[@]}"; do expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/brindlow-recorder.png"); done
for path in "${expected[@]}"; do
  grep -qxF "$path" <<<"$contents" || fail "the package lacks $path"
done

control() { dpkg-deb -f "$deb" "$1"; }
[[ $(control Section) == video ]] || fail "Section is '$(control Section)'"
depends=$(control Depends)
# One from dpkg-shlibdeps, the others listed by hand because it cannot see them.
for package in libc6 qml6-module-qtquick qml6-module-qtquick-controls libqt6svg6; do
  grep -qE "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
for path in "${expected[@]}"; do
  [[ $path == ./usr/bin/* && ! -x $root/$path ]] && fail "$path is not executable"
done
# A PNG's width and height are the big-endian words at bytes 16 and 20.
for size in "${sizes[@]}"; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/brindlow-recorder.png
  [[ -f $png ]] || continue
  read -r width height < <(od -An -tu1 -j16 -N8 "$png" |
    awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  [[ "$width $height" == "$size $size" ]] || fail "the ${size}x${size} icon is ${width}x${height}"
done
if command -v appstreamcli >/dev/null; then
  out=$(appstreamcli validate-tree --no-net "$root" 2>&1) || fail "appstreamcli validate-tree: $out"
fi
# Each manual page says what its command's --help says.
for page in "$root"/usr/share/man/man1/*.1.gz; do
  command=$(basename "$page" .1.gz)
  zcat "$page" | grep -qF -- '\-\-help' || fail "the manual page of $command does not describe its options"
done
# Debian's own checks: any error fails the package.
if command -v lintian >/dev/null; then
  out=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || fail "lintian: $out"
  [[ -n $out ]] && echo "lintian: $out"
else
  fail "lintian is not installed (scripts/install-deps)"
fi

exit $failed
