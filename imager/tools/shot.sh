#!/usr/bin/env bash
# Takes the documentation picture of Imbra's window in the middle of a
# Program: a real Qt window under Xvfb with openbox's title bar, the image an
# .nrg-style file (a 24 MiB ISO 9660 volume made by xorriso, 307200 bytes
# into the file) on the simulated CD-ROM flash disk of a private bus.
#
#   bash imager/tools/shot.sh [OUT.png]     default docs/imbra.png
#
# Builds imbra_shot and velk-sim in build/ (BUILD=DIR for another tree).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
out=${1:-$root/docs/imbra.png}
case "$out" in /*) ;; *) out="$root/$out" ;; esac
build=${BUILD:-$root/build}
cmake --build "$build" --target imbra_shot velk-sim >/dev/null

work=/tmp/imbra-shot
rm -rf "$work"
mkdir -p "$work/bus" "$work/run" "$work/state" "$work/tree/AUTORUN"
chmod 700 "$work/run"
export VELK_SIM_DIR="$work/bus" XDG_RUNTIME_DIR="$work/run" XDG_STATE_HOME="$work/state"
"$build/velk/velk-sim" create cd --profile cdrom --set lun0.size=64M >/dev/null

printf '[autorun]\r\nopen=AUTORUN\\SETUP.EXE\r\n' >"$work/tree/AUTORUN.INF"
head -c 24M /dev/urandom >"$work/tree/AUTORUN/SETUP.EXE"
xorriso -as mkisofs -V AUTORUN -J -R -o "$work/volume.iso" "$work/tree" >/dev/null 2>&1
image="$work/Autorun.nrg"   # its path is the window title
{ head -c 307200 /dev/zero; cat "$work/volume.iso"; printf 'END!\0\0\0\0NER5\0\0\0\0\0\0\0\0'; } >"$image"

# Run by imbra_shot while its window shows the Program half way: the frame
# the window manager put around the window (title = the image's path) is
# cut out of the screen.
cat >"$work/grab.sh" <<'GRAB'
set -uo pipefail
title="$1" shot="$2"
# By the image's path; "Imbra" when the title has not reached the screen.
# (An empty id would make xwininfo wait for a click.)
win=""
for t in "$title" Imbra; do
  win=$(xwininfo -name "$t" 2>/dev/null | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
  [ -n "$win" ] && break
done
[ -n "$win" ] || { echo "grab: no window titled $title" >&2; exit 1; }
root=$(xwininfo -root | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
for _ in 1 2 3 4 5; do
  parent=$(xwininfo -tree -id "$win" | sed -n "s/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p")
  [ -z "$parent" ] || [ "$parent" = "$root" ] && break
  win=$parent
done
geo=$(xwininfo -id "$win" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} /Width:/{w=$2} /Height:/{h=$2} END{print w "x" h "+" x "+" y}')
tmp=$(mktemp --suffix=.xwd)
xwd -silent -root -out "$tmp" && convert "xwd:$tmp" -crop "$geo" +repage "$shot"
rc=$?
rm -f "$tmp"
exit $rc
GRAB

mkdir -p "$(dirname "$out")"
rm -f "$out"
export SHOT_BIN="$build/imager/imbra_shot" SHOT_IMAGE="$image" SHOT_OUT="$out" SHOT_GRAB="$work/grab.sh"
for try in 1 2 3; do
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & sleep 1; }
    "$SHOT_BIN" "$SHOT_IMAGE" "bash \"$SHOT_GRAB\" \"$SHOT_IMAGE\" \"$SHOT_OUT\""
  ' && [ -s "$out" ] && break
  echo "retrying under a new virtual display" >&2
done
rm -rf "$work"
[ -s "$out" ] || { echo "no picture taken" >&2; exit 1; }
echo "Picture of Imbra during a Program: $out"
