#!/usr/bin/env bash
# Installs what is missing, builds the tool set in build/, lays out the kit in
# kit-out/, creates the default simulated device (a NAND flash disk with
# realistic timing, named "demo") when the bus has no device, and starts the
# console Tavrin from its kit folder in a real window.
#
#   scripts/run.sh                 real window (needs a display)
#   scripts/run.sh --xvfb [FILE]   runs it under Xvfb instead and saves a
#                                  screenshot of the console's window to FILE
#                                  (default docs/console.png), then closes it
#
# The bus is the usual one ($VELK_SIM_DIR, else ~/.local/state/velk-sim), so
# velk-sim in kit-out/ plugs and unplugs devices while the console runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

xvfb=0
shot="$root/docs/console.png"
if [ "${1:-}" = "--xvfb" ]; then
  xvfb=1
  if [ -n "${2:-}" ]; then
    case "$2" in /*) shot="$2" ;; *) shot="$root/$2" ;; esac
  fi
elif [ -n "${1:-}" ]; then
  echo "usage: scripts/run.sh [--xvfb [SCREENSHOT.png]]" >&2
  exit 2
fi

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kit -j"$(nproc)"
kit="$root/kit-out"
cmake --install build --prefix "$kit" >/dev/null

# The default device, unless the bus already has one that works.
# (velk-sim list prints a heading line, then one line per device; a damaged
# device says "damaged: ..." and serves no program.)
devices=$("$kit/velk-sim" list | tail -n +2)
working=$(grep -v -e "damaged:" -e '^$' <<<"$devices" || true)
if [ -n "$devices" ] && [ -z "$working" ]; then
  echo "The simulated bus holds only damaged devices:" >&2
  echo "$devices" >&2
fi
if [ -z "$working" ]; then
  # A damaged "demo" is the one this script made: it is made afresh.
  if grep -q "^demo .*damaged:" <<<"$devices"; then "$kit/velk-sim" remove demo; fi
  "$kit/velk-sim" create demo --profile flashdisk --set timing=realistic
  echo "Created the simulated flash disk \"demo\" ($kit/velk-sim show demo)."
fi

cd "$kit"
if [ "$xvfb" = 0 ]; then
  set +e
  ./Tavrin
  rc=$?
  set -e
  if [ "$rc" = 2 ]; then
    echo "No display to open the console's window on. Run it with a desktop" \
         "session (DISPLAY or WAYLAND_DISPLAY set), or take a screenshot under" \
         "Xvfb with: bash scripts/run.sh --xvfb" >&2
  fi
  exit "$rc"
fi

# Under Xvfb: start the console, wait until its window is mapped, save a
# picture of it (xwd finds the window by its title, which carries the
# version), close it.
mkdir -p "$(dirname "$shot")"
export SHOT="$shot"
shoot() {
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -uo pipefail
  # A window manager draws the title bar (caption and version) as a desktop would.
  command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & sleep 1; }
  ./Tavrin & pid=$!
  tmp=$(mktemp --suffix=.xwd)
  title="Tavrin -- 1.4.4.4"
  got=0
  for _ in $(seq 1 100); do
    sleep 0.2
    kill -0 "$pid" 2>/dev/null || break
    if xwd -silent -frame -name "$title" -out "$tmp" 2>/dev/null; then got=1; break; fi
  done
  if [ "$got" = 1 ]; then
    sleep 1   # let the window finish painting, then take the picture
    # The frame the window manager put around the window: climb from the
    # window to the child of the root window that holds it.
    win=$(xwininfo -name "$title" | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
    root=$(xwininfo -root | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
    for _ in 1 2 3 4 5; do
      parent=$(xwininfo -tree -id "$win" | sed -n "s/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p")
      [ -z "$parent" ] || [ "$parent" = "$root" ] && break
      win=$parent
    done
    geo=$(xwininfo -id "$win" | awk "/Absolute upper-left X/{x=\$4} /Absolute upper-left Y/{y=\$4} /Width:/{w=\$2} /Height:/{h=\$2} END{print w \"x\" h \"+\" x \"+\" y}")
    case "$geo" in
      [0-9]*x[0-9]*+*+*) ;;
      *) echo "could not find the frame of the console window (is xwininfo installed?)" >&2; got=0 ;;
    esac
    if [ "$got" = 1 ]; then
      xwd -silent -root -out "$tmp" 2>/dev/null
      convert "xwd:$tmp" -crop "$geo" +repage "$SHOT"
    fi
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  rm -f "$tmp"
  [ "$got" = 1 ] || { echo "the console window did not appear" >&2; exit 1; }
'
}
# xvfb-run -a can lose the race for a display number to another X server
# starting at the same moment: try again then.
for try in 1 2 3; do
  if shoot; then
    echo "Screenshot of the console: $shot"
    exit 0
  fi
  [ "$try" = 3 ] || echo "retrying under a new virtual display" >&2
done
exit 1
