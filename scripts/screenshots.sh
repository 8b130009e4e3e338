#!/usr/bin/env bash
# Pictures of the console's tool panel and of Kesso for the documentation,
# taken from real windows under Xvfb with a window manager (openbox) for the
# title bars, on a simulated bus of their own:
#
#   scripts/screenshots.sh [DIR]     (default docs/): tool_panel.png, kesso.png
#
# The tool panel is opened from the console's "Kitbox" button and Kesso's list
# is filled with "Show Registry", both clicked with xdotool.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out="${1:-$root/docs}"
case "$out" in /*) ;; *) out="$root/$out" ;; esac
mkdir -p "$out"

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kit -j"$(nproc)"
kit="$root/kit-out"
cmake --install build --prefix "$kit" >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export VELK_SIM_DIR="$tmp/bus" XDG_RUNTIME_DIR="$tmp/run" XDG_STATE_HOME="$tmp/state"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# Devices the registry has seen: each is recorded at its first attach. Only
# the flash disk stays attached.
sim="$kit/velk-sim"
"$sim" create disk --profile flashdisk >/dev/null
for d in "reader reader" "cd cdrom" "ide ide" "r16 reader16"; do
  set -- $d
  "$sim" create "$1" --profile "$2" >/dev/null
  "$sim" unplug "$1" >/dev/null
done
"$sim" create mouse --profile reader --set vid=046D --set pid=C52B --set instance=6\&2F1A\&0\&1 >/dev/null
"$sim" unplug mouse >/dev/null

export OUT="$out" KIT="$kit"
shoot() {
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -uo pipefail
  command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & sleep 1; }
  cd "$KIT"

  # The window called $1, as the window manager framed it, into the file $2.
  capture() {
    local win root parent geo x
    win=$(xdotool search --onlyvisible --name "^$1\$" | head -n 1)
    [ -n "$win" ] || return 1
    root=$(xwininfo -root | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
    win=$(printf "0x%x" "$win")
    for _ in 1 2 3 4 5; do
      parent=$(xwininfo -tree -id "$win" | sed -n "s/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p")
      [ -z "$parent" ] || [ "$parent" = "$root" ] && break
      win=$parent
    done
    geo=$(xwininfo -id "$win" | awk "/Absolute upper-left X/{x=\$4} /Absolute upper-left Y/{y=\$4} /Width:/{w=\$2} /Height:/{h=\$2} END{print w \"x\" h \"+\" x \"+\" y}")
    x=$(mktemp --suffix=.xwd)
    xwd -silent -root -out "$x" && convert "xwd:$x" -crop "$geo" +repage "$2"
    local rc=$?
    rm -f "$x"
    return $rc
  }
  # Waits until a window called $1 is shown; its id on standard output.
  await() {
    local w
    for _ in $(seq 1 100); do
      w=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
      [ -n "$w" ] && { echo "$w"; return 0; }
      sleep 0.2
    done
    return 1
  }
  # Clicks the centre of a control given in dialog units (x y cx cy) of the
  # window $1; dialog units become pixels as for the 8-point dialog font.
  click() {
    local px=$(( ($2 * 2 + $4) * 6 / 8 )) py=$(( ($3 * 2 + $5) * 13 / 16 ))
    xdotool mousemove --window "$1" "$px" "$py" click 1
    sleep 0.5
  }
  ok=1

  ./Tavrin & tavrin=$!
  if w=$(await "Tavrin -- 1.4.4.4"); then
    sleep 1
    click "$w" 282 113 70 14                 # "Kitbox"
    if await "Usb Flash Disk Tools" >/dev/null; then
      sleep 1
      capture "Usb Flash Disk Tools" "$OUT/tool_panel.png" || ok=0
    else ok=0; fi
  else ok=0; fi
  kill "$tavrin" 2>/dev/null; wait "$tavrin" 2>/dev/null

  ./Kitbox/Kesso & kesso=$!
  if w=$(await Kesso); then
    sleep 1
    click "$w" 196 7 63 14                   # "Show Registry"
    click "$w" 7 7 180 20                    # selects the second entry
    sleep 0.5
    capture Kesso "$OUT/kesso.png" || ok=0
  else ok=0; fi
  kill "$kesso" 2>/dev/null; wait "$kesso" 2>/dev/null
  [ "$ok" = 1 ]
'
}
for try in 1 2 3; do
  if shoot; then
    echo "Screenshots: $out/tool_panel.png $out/kesso.png"
    exit 0
  fi
  [ "$try" = 3 ] || echo "retrying under a new virtual display" >&2
done
echo "the windows did not appear" >&2
exit 1
