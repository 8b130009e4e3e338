#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one, one after the
# other, over its seed corpus (*/fuzz/corpus/<target>/) with its dictionary
# (*/fuzz/<target>.dict).
#   scripts/fuzz.sh --brief            a few seconds per target (CI)
#   scripts/fuzz.sh [RUNS] [TARGET...] RUNS executions per target (default
#                                      20000000), all targets or the named ones
# Any finding (a crash, an AddressSanitizer or UndefinedBehaviorSanitizer
# report, a leak, a timeout) ends that target's run; the input that caused it
# is kept in fuzz-findings/<target>/ and the script exits with 1. Each run
# prints its seed (to repeat it: -seed=N) and its exact execution count.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DTAVRIN_FUZZ=ON -DTAVRIN_QT=OFF -DTAVRIN_TESTS=OFF -DTAVRIN_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"

if [ "${1:-}" = "--brief" ]; then
  args=(-max_total_time=15); shift
else
  args=(-runs="${1:-20000000}"); [ $# -gt 0 ] && shift
fi
only=("$@")

# UBSan findings stop the run (the fuzz build is also compiled with
# -fno-sanitize-recover), so the fuzzer reports them as crashes.
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1

found=0 failed=0
while IFS= read -r target; do
  name=$(basename "$target")
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " =~ " $name " ]]; then continue; fi
  found=1
  corpus_src=$(find . -path ./build\* -prune -o -type d -path "*/fuzz/corpus/${name}" -print | head -n 1)
  dict=$(find . -path ./build\* -prune -o -type f -path "*/fuzz/${name}.dict" -print | head -n 1)
  work=$(mktemp -d)
  findings="fuzz-findings/${name}"
  mkdir -p "$findings"
  [ -n "$corpus_src" ] && cp -r "$corpus_src"/. "$work"/
  extra=()
  [ -n "$dict" ] && extra+=(-dict="$dict")
  echo "== $name${dict:+ (dictionary $dict)}"
  status=0
  "$target" "${args[@]}" "${extra[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$work" >"$work.log" 2>&1 || status=$?
  grep -E "^INFO: Seed|^Done [0-9]+ runs|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" "$work.log" || true
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "!! $name: finding (exit $status), input kept in $findings/"
    tail -n 40 "$work.log"
  fi
  rmdir "$findings" 2>/dev/null || true
  rm -rf "$work" "$work.log"
done < <(find build-fuzz -maxdepth 4 -type f -executable -name 'fuzz_*' | sort)
[ "$found" = 1 ] || echo "no fuzz targets built"
exit "$failed"
