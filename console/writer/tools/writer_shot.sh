#!/usr/bin/env bash
# A screenshot of the writer dialog in a real window under Xvfb, with the
# window manager's frame, after loading tools/sample_reader.eep and writing it
# to a simulated card reader:
#
#   bash console/writer/tools/writer_shot.sh [OUT.png [FAULT]]   (default docs/writer.png)
#
# FAULT is a fault of the simulated reader in the grammar of velk-sim fault
# (e.g. "eep-data-write" shows the "FAIL" mark).
#
#   bash console/writer/tools/writer_shot.sh --firmware [OUT.png]   (default docs/writer-firmware.png)
#
# takes the picture during a firmware transfer instead: a card reader with
# realistic timing (the transfer takes about 3 s), a 32 KiB image, "Load FW
# obj file" and "Write F/W"; the picture is taken while the image goes out.
# Needs the build in build/ (writer_window and velk-sim) and Xvfb, openbox,
# xwd and ImageMagick (scripts/install-deps.sh installs them). Everything runs
# on a bus and in folders of its own.
set -euo pipefail
cd "$(dirname "$0")/../../.."
root=$(pwd)
firmware=0
if [ "${1:-}" = "--firmware" ]; then firmware=1; shift; fi
if [ $firmware = 1 ]; then out="${1:-$root/docs/writer-firmware.png}"; else out="${1:-$root/docs/writer.png}"; fi
case "$out" in /*) ;; *) out="$root/$out" ;; esac
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export VELK_SIM_DIR="$tmp/bus" XDG_RUNTIME_DIR="$tmp/run" XDG_STATE_HOME="$tmp/state"
mkdir -p "$tmp/work" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
if [ $firmware = 1 ]; then
  "$root/build/velk/velk-sim" create reader --profile reader --set timing=realistic >/dev/null
  head -c 32768 /dev/urandom > "$tmp/work/FW0200.bin"
  # The erase (0.3 s), the return (1 s), the settle timer (2 s), then about
  # half of the 3 s transfer.
  export WINDOW_ARGS="--firmware FW0200.bin" WINDOW_WAIT="${SHOT_DELAY:-5}"
else
  "$root/build/velk/velk-sim" create reader --profile reader >/dev/null
  if [ -n "${2:-}" ]; then "$root/build/velk/velk-sim" fault reader $2; fi
  cp "$root/console/writer/tools/sample_reader.eep" "$tmp/work/reader.eep"
  export WINDOW_ARGS="reader.eep" WINDOW_WAIT=1
fi
cd "$tmp/work"
export OUT="$out" EXE="$root/build/console/writer/writer_window"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -uo pipefail
  openbox >/dev/null 2>&1 & sleep 1
  "$EXE" $WINDOW_ARGS & pid=$!
  win=""
  for _ in $(seq 1 100); do
    sleep 0.2
    win=$(xwininfo -root -tree | sed -n "s/^ *\(0x[0-9a-f]*\) \"EEPROM\/Flash Writer -->.*/\1/p" | head -1)
    [ -n "$win" ] && break
  done
  [ -n "$win" ] || { echo "the writer window did not appear" >&2; kill $pid; exit 1; }
  sleep "$WINDOW_WAIT"
  rootwin=$(xwininfo -root | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
  for _ in 1 2 3 4 5; do
    parent=$(xwininfo -tree -id "$win" | sed -n "s/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p")
    { [ -z "$parent" ] || [ "$parent" = "$rootwin" ]; } && break
    win=$parent
  done
  geo=$(xwininfo -id "$win" | awk "/Absolute upper-left X/{x=\$4} /Absolute upper-left Y/{y=\$4} /Width:/{w=\$2} /Height:/{h=\$2} END{print w \"x\" h \"+\" x \"+\" y}")
  xwd -silent -root -out shot.xwd
  convert xwd:shot.xwd -crop "$geo" +repage "$OUT"
  kill $pid 2>/dev/null; wait $pid 2>/dev/null
  true
'
echo "Screenshot of the writer$([ $firmware = 1 ] && echo " during a firmware transfer"): $out"
