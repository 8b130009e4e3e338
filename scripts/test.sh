#!/usr/bin/env bash
# Installs what is missing, builds the whole tool set and runs every test.
#   scripts/test.sh                  normal build in build/
#   scripts/test.sh --sanitize address   ASan + UBSan build in build-address/
#   scripts/test.sh --sanitize thread    TSan build in build-thread/ (tests labelled "threads")
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="${2:?address or thread}"; fi
scripts/install-deps.sh
dir=build${sanitize:+-$sanitize}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_SANITIZE="$sanitize" \
      $([ -n "$sanitize" ] && echo -DTAVRIN_BENCH=OFF) >/dev/null
cmake --build "$dir" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
label=()
[ "$sanitize" = "thread" ] && label=(-L threads)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "${label[@]}"
