#!/usr/bin/env bash
# Installs everything the tool set needs to build, run and test on Debian 12.
# Idempotent: packages already present are left alone.
set -euo pipefail
pkgs=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev            # libFuzzer targets
  libgtest-dev libgmock-dev googletest
  qt6-base-dev qt6-base-dev-tools     # real windows
  fonts-dejavu-extra                   # the condensed face closest to the dialog font
  fonts-wqy-microhei                   # CJK glyphs: the console's zh-TW about item
  libgl1-mesa-dev                      # Qt's OpenGL headers
  dosfstools mtools                    # fsck.fat and mdir check the FAT file systems we write
  xvfb xauth x11-apps imagemagick     # headless screenshots of the Qt windows (xwd)
  x11-utils                            # xwininfo, xprop: finding the window to picture
  openbox                              # a window manager for the title bar in screenshots
  xdotool                              # clicks and typing into windows for the screenshots
  xdg-utils                            # opening documents with their default program
  xorriso                              # the imager's tests and benchmark make real ISO 9660 images
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
