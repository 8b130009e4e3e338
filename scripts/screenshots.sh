#!/usr/bin/env bash
# Makes the pictures of the running programs in docs/, in real windows under
# Xvfb with openbox drawing the title bars, on a private simulated bus:
#
#   console           docs/console.png          the console with the simulated flash disk
#   console-menu      docs/console-menu.png     its system menu open: the zh-TW about item
#   ornel-no-device   docs/ornel-no-device.png  Ornel without a device: its "Device not
#                                               found" box in the middle of the screen
#   ornel-scan-status docs/ornel-scan-status.png Ornel's summary after a scan, on its window
#   retirex-marking   docs/retirex-marking.png  Retirex in mark mode, half-way through
#                                               retiring the bad blocks of a scan log
#   setup             docs/setup.png            "Driver Install": the Setup/Setup window
#   tool_panel        docs/tool_panel.png       the console's "Kitbox" panel
#   kesso             docs/kesso.png            Kesso listing the registry's USB storage entries
#
#   bash scripts/screenshots.sh [SHOT...]       (all of them without arguments)
#
# It installs what is missing and builds the kit first, as scripts/run.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
all=(console console-menu ornel-no-device ornel-scan-status retirex-marking setup tool_panel kesso)

# ---- inside the virtual display (the script runs itself under xvfb-run) ----
if [ "${1:-}" = "--inside" ]; then
  shot=$2
  openbox >/dev/null 2>&1 &
  wm=$!
  sleep 1

  # The first window titled $1, waiting up to 20 s.
  window() {
    local id
    for _ in $(seq 1 100); do
      id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
      [ -n "$id" ] && { echo "$id"; return 0; }
      sleep 0.2
    done
    echo "no window titled \"$1\" appeared" >&2
    return 1
  }
  # The geometry (WxH+X+Y) of the frame the window manager put around a
  # window: climbs from the window to the child of the root window that holds it.
  frame_geo() {
    local win parent rootwin
    rootwin=$(xwininfo -root | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
    win=$(printf '0x%x' "$1")
    for _ in 1 2 3 4 5; do
      parent=$(xwininfo -tree -id "$win" | sed -n 's/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p')
      { [ -z "$parent" ] || [ "$parent" = "$rootwin" ]; } && break
      win=$parent
    done
    xwininfo -id "$win" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4}
                              /Width:/{w=$2} /Height:/{h=$2} END{print w "x" h "+" x "+" y}'
  }
  # Pictures a window with its frame; MARGIN pixels of the screen around it
  # and EXTRA more to the right (a menu that pops up beside it) when given.
  frame_shot() {
    local out=$2 margin=${3:-0} extra=${4:-0} geo tmp w h x y
    geo=$(frame_geo "$1")
    IFS='x+' read -r w h x y <<<"$geo"
    geo="$((w + 2 * margin + extra))x$((h + 2 * margin))+$((x - margin))+$((y - margin))"
    tmp=$(mktemp --suffix=.xwd)
    xwd -silent -root -out "$tmp"
    convert "xwd:$tmp" -crop "$geo" +repage "$out"
    rm -f "$tmp"
  }
  screen_shot() {
    local tmp
    tmp=$(mktemp --suffix=.xwd)
    xwd -silent -root -out "$tmp"
    convert "xwd:$tmp" "$1"
    rm -f "$tmp"
  }
  # Clicks at client pixel X,Y of a window.
  click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.3; }
  # Clicks the centre of a control given in dialog units (x y cx cy) of the
  # window $1; dialog units become pixels as for the 8-point dialog font.
  click_dlu() { click "$1" $((($2 * 2 + $4) * 6 / 8)) $((($3 * 2 + $5) * 13 / 16)); sleep 0.2; }

  cd "$KIT"
  case "$shot" in
    console)
      ./Tavrin & pid=$!
      w=$(window "Tavrin -- 1.4.4.4")
      sleep 1
      frame_shot "$w" "$OUT"
      kill "$pid"
      ;;
    console-menu)
      ./Tavrin & pid=$!
      w=$(window "Tavrin -- 1.4.4.4")
      sleep 1
      eval "$(xdotool getwindowgeometry --shell "$w")"
      click "$w" $((WIDTH - 8)) 8    # the system-menu button in the top-right corner
      sleep 0.5
      frame_shot "$w" "$OUT" 0 170
      kill "$pid"
      ;;
    ornel-no-device)
      Kitbox/Ornel & pid=$!
      window "Information" >/dev/null
      sleep 1
      screen_shot "$OUT"
      kill "$pid"
      ;;
    ornel-scan-status)
      Kitbox/Ornel & pid=$!
      w=$(window "Ornel")
      sleep 0.5
      click "$w" 260 28     # "Scan"
      window "Scan Status" >/dev/null
      sleep 1
      frame_shot "$w" "$OUT" 30
      kill "$pid"
      ;;
    retirex-marking)
      Kitbox/Retirex & pid=$!
      w=$(window "Retirex")
      sleep 0.5
      click "$w" 30 62      # "Mark Bad Block"
      click "$w" 284 28     # "Open File"
      window "Open" >/dev/null
      sleep 0.5
      xdotool type --delay 20 "$KIT/scan.log"
      xdotool key Return
      sleep "${MARK_SECONDS:-2.5}"
      frame_shot "$w" "$OUT"
      kill "$pid"
      ;;
    setup)
      Setup/Setup & pid=$!
      w=$(window "Driver Install")
      sleep 1
      frame_shot "$w" "$OUT"
      kill "$pid"
      ;;
    tool_panel)
      ./Tavrin & pid=$!
      w=$(window "Tavrin -- 1.4.4.4")
      sleep 1
      click_dlu "$w" 282 113 70 14          # "Kitbox"
      p=$(window "Usb Flash Disk Tools")
      sleep 1
      frame_shot "$p" "$OUT"
      kill "$pid"
      ;;
    kesso)
      Kitbox/Kesso & pid=$!
      w=$(window "Kesso")
      sleep 1
      click_dlu "$w" 196 7 63 14            # "Show Registry"
      click_dlu "$w" 7 7 180 20             # selects the second entry
      sleep 0.5
      frame_shot "$w" "$OUT"
      kill "$pid"
      ;;
  esac
  wait "$pid" 2>/dev/null || true
  kill "$wm" 2>/dev/null || true
  exit 0
fi

# ---- outside: build the kit, lay out a private bus per picture ----
shots=("$@")
[ ${#shots[@]} -gt 0 ] || shots=("${all[@]}")
for s in "${shots[@]}"; do
  case " ${all[*]} " in *" $s "*) ;; *) echo "unknown picture: $s (one of: ${all[*]})" >&2; exit 2 ;; esac
done

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kit -j"$(nproc)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KIT="$work/kit"
cmake --install build --prefix "$KIT" >/dev/null
mkdir -p docs

for s in "${shots[@]}"; do
  export VELK_SIM_DIR="$work/bus-$s" XDG_STATE_HOME="$work/state-$s" XDG_RUNTIME_DIR="$work/run-$s"
  mkdir -p "$VELK_SIM_DIR" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  export OUT="$root/docs/$s.png"
  case "$s" in
    console|console-menu)
      "$KIT/velk-sim" create demo --profile demo >/dev/null
      ;;
    ornel-scan-status)
      "$KIT/velk-sim" create disk --profile flashdisk >/dev/null
      ;;
    tool_panel|kesso)
      # Devices the registry has seen (each is recorded at its first
      # attach); only the flash disk stays attached.
      sim="$KIT/velk-sim"
      "$sim" create disk --profile flashdisk >/dev/null
      for d in "reader reader" "cd cdrom" "ide ide" "r16 reader16"; do
        set -- $d
        "$sim" create "$1" --profile "$2" >/dev/null
        "$sim" unplug "$1" >/dev/null
      done
      "$sim" create mouse --profile reader --set vid=046D --set pid=C52B --set instance=6\&2F1A\&0\&1 >/dev/null
      "$sim" unplug mouse >/dev/null
      ;;
    retirex-marking)
      # A flash disk with 40 factory-bad blocks, scanned (headless, on the
      # virtual clock) into the scan log that Retirex then opens.
      bad=$(for b in $(seq 3 7 282); do printf '0:%d,' "$b"; done)
      "$KIT/velk-sim" create demo --profile demo --set "bad=${bad%,}" >/dev/null
      rm -f "$KIT/scan.log"
      (cd "$KIT" && printf 'answer OK\nclick 1008\nwait\nclick 1010\n' | Kitbox/Ornel --script - >/dev/null)
      ;;
  esac
  ok=0
  # xvfb-run -a can lose the race for a display number to another X server
  # starting at the same moment: try again then.
  for _ in 1 2 3; do
    if xvfb-run -a -s "-screen 0 1024x768x24" bash "$root/scripts/screenshots.sh" --inside "$s" && [ -s "$OUT" ]; then
      ok=1
      break
    fi
  done
  [ "$ok" = 1 ] || { echo "could not make docs/$s.png" >&2; exit 1; }
  echo "docs/$s.png"
done
