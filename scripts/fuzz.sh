#!/usr/bin/env bash
# fuzz.sh: builds the decoder fuzz target in build-fuzz/ and runs it for SECONDS (default 60).
# Exits non-zero when the fuzzer finds a crash, leak, timeout or broken property.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
corpus="$root/fuzz/corpus-run"  # grows between runs; not kept in the repository
artifacts="$build/artifacts"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVEL_FUZZ=ON -DKOVEL_SANITIZE=ON -DKOVEL_TESTS=OFF -DKOVEL_PYTHON=OFF -DKOVEL_WERROR=ON \
  >/dev/null
cmake --build "$build" --target decode_fuzz -j2

mkdir -p "$corpus" "$artifacts"
log="$build/fuzz.log"
status=0
# The first directory receives new inputs; the seeds are only read.
"$build/fuzz/decode_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" "$root/fuzz/seeds" >"$log" 2>&1 || status=$?

execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
echo "decode_fuzz: ${execs:-?} executions in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs"
if [ "$status" -ne 0 ]; then
  echo "decode_fuzz: finding (exit $status); log in $log, inputs in $artifacts:" >&2
  ls "$artifacts" >&2
  grep -A 30 -E '^==[0-9]+==ERROR|decode_fuzz: |runtime error' "$log" | head -n 60 >&2 || true
  exit "$status"
fi
