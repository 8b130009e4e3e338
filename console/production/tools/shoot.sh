#!/usr/bin/env bash
# Pictures of the read/write test and the format dialog while their jobs
# run, in real Qt windows under Xvfb with openbox for the title bar:
#
#   console/production/tools/shoot.sh [BUILD_DIR]     (default build/)
#
# writes docs/reader-test.png and docs/format.png. Each dialog runs on a
# simulated card reader of its own (sector transfers of 1 ms for the test,
# realistic timing for the format) and is shot about 1.8 s into its job.
set -euo pipefail
cd "$(dirname "$0")/../../.."
root=$(pwd)
build=${1:-build}
tool="$root/$build/console/production/production_shot"
sim="$root/$build/velk/velk-sim"
[ -x "$tool" ] && [ -x "$sim" ] || { echo "build first: cmake --build $build" >&2; exit 1; }

shoot() {  # NAME TITLE OUT ARGS...
  local name=$1 title=$2 out=$3
  shift 3
  local tmp
  tmp=$(mktemp -d)
  export VELK_SIM_DIR="$tmp/bus" XDG_STATE_HOME="$tmp/state" XDG_RUNTIME_DIR="$tmp/run"
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  if [ "$name" = test ]; then
    "$sim" create r --profile reader --set lun0.size=1M --set lun1.present=1 --set lun1.sectors=1 \
      --set lun2.size=2M --set lba-delay=1 >/dev/null
    "$sim" fault r lba-corrupt 1 0
  else
    "$sim" create r --profile reader --set lun0.size=1G --set lun2.size=2M --set timing=realistic >/dev/null
  fi
  export SHOT="$out" TITLE="$title" TOOL="$tool"
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -uo pipefail
    command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & sleep 1; }
    "$TOOL" "$@" & pid=$!
    x=$(mktemp --suffix=.xwd)
    got=0
    for _ in $(seq 1 100); do
      sleep 0.05
      if xwininfo -name "$TITLE" >/dev/null 2>&1; then got=1; break; fi
    done
    if [ "$got" = 1 ]; then
      sleep 1.8
      win=$(xwininfo -name "$TITLE" | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
      rootw=$(xwininfo -root | sed -n "s/.*Window id: \(0x[0-9a-f]*\).*/\1/p")
      for _ in 1 2 3 4 5; do
        parent=$(xwininfo -tree -id "$win" | sed -n "s/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p")
        [ -z "$parent" ] || [ "$parent" = "$rootw" ] && break
        win=$parent
      done
      geo=$(xwininfo -id "$win" | awk "/Absolute upper-left X/{x=\$4} /Absolute upper-left Y/{y=\$4} /Width:/{w=\$2} /Height:/{h=\$2} END{print w \"x\" h \"+\" x \"+\" y}")
      xwd -silent -root -out "$x"
      convert "xwd:$x" -crop "$geo" +repage "$SHOT"
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$x"
    [ "$got" = 1 ]
  ' _ "$@"
  rm -rf "$tmp"
  echo "$out"
}

shoot test ReaderTest "$root/docs/reader-test.png" test 300
shoot format Format "$root/docs/format.png" format
