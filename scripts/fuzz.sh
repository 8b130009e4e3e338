#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one.
#   scripts/fuzz.sh --brief          a few seconds per target (CI)
#   scripts/fuzz.sh RUNS             RUNS executions per target
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DTAVRIN_FUZZ=ON -DTAVRIN_QT=OFF -DTAVRIN_TESTS=OFF -DTAVRIN_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
if [ "${1:-}" = "--brief" ]; then args=(-max_total_time=15); else args=(-runs="${1:-20000000}"); fi
found=0
while IFS= read -r target; do
  found=1
  name=$(basename "$target")
  corpus_src=$(find . -path ./build\* -prune -o -type d -path "*/fuzz/corpus/${name}" -print | head -n 1)
  work=$(mktemp -d)
  [ -n "$corpus_src" ] && cp -r "$corpus_src"/. "$work"/
  echo "== $name"
  "$target" "${args[@]}" -timeout=10 -rss_limit_mb=2048 "$work" 2>&1 | tail -n 3
  rm -rf "$work"
done < <(find build-fuzz -maxdepth 4 -type f -executable -name 'fuzz_*')
[ "$found" = 1 ] || echo "no fuzz targets built"
