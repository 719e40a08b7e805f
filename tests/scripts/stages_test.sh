#!/usr/bin/env bash
# stages_test.sh: scripts/stages.sh against made-up runner output: a run whose every declared
# stage reports a clean summary passes, and each way a stage can go wrong fails it, by name.
# shellcheck disable=SC2016  # the commands to check run in a shell of their own, not this one
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
checks=0

# The logs, as pytest -q and CTest end them.
printf '%s\n' '........................................................................ [ 13%]' \
  '543 passed in 46.77s' >"$tmp/pytest-ok.log"
printf '%s\n' '==== 540 passed, 3 skipped, 2 deselected in 3723.10s (1:02:03) ====' \
  >"$tmp/pytest-framed.log"
# Killed mid-run (os._exit(0) in a test): dots, a test's own output, then nothing.
printf '%s\n' '........................................................................ [ 13%]' \
  '5 passed' '......' >"$tmp/pytest-cut.log"
printf '%s\n' 'FAILED test_kterm.py::test_repr - assert 1 == 2' \
  '1 failed, 539 passed, 1 error in 40.00s' >"$tmp/pytest-failed.log"
printf '%s\n' 'no tests ran in 0.01s' >"$tmp/pytest-none.log"
printf '%s\n' '100% tests passed out of 142' '' 'Total Test time (real) =   3.09 sec' \
  >"$tmp/ctest-ok.log"
printf '%s\n' '100% tests passed, 0 tests failed out of 142' >"$tmp/ctest-older.log"
printf '%s\n' '97% tests passed, 4 tests failed out of 142' 'The following tests FAILED:' \
  >"$tmp/ctest-failed.log"
printf '%s\n' 'No tests were found!!!' >"$tmp/ctest-none.log"
for v in 3.14 3.15; do
  printf '#!/bin/sh\necho %s\n' "$v" >"$tmp/python$v"
  chmod +x "$tmp/python$v"
done

# Runs COMMANDS in a shell of its own that has sourced stages.sh and made a new ledger; sets
# $got to what it printed and $rc to its status.
run() {
  rc=0
  got=$(cd "$tmp" && bash -c 'set -euo pipefail; source "$1"; stages_init "$2"; eval "$3"' _ \
    "$root/scripts/stages.sh" "$tmp/ledger" "$1" 2>&1) || rc=$?
}

# Fails unless the last run ended with status WANT and printed each TEXT.
expect() {
  local what=$1 want=$2 text
  shift 2
  [ "$rc" -eq "$want" ] ||
    { printf 'stages_test: %s: status %s, not %s:\n%s\n' "$what" "$rc" "$want" "$got" >&2; exit 1; }
  for text in "$@"; do
    grep -qF -- "$text" <<<"$got" ||
      { printf 'stages_test: %s: no "%s" in:\n%s\n' "$what" "$text" "$got" >&2; exit 1; }
  done
  checks=$((checks + 1))
}

run 'stage_expect ctest pytest-3.10 pytest-3.11 fuzz aarch64-pytest
  stage_ctest ctest ctest-ok.log 0
  stage_pytest pytest-3.10 pytest-ok.log 0
  stage_pytest pytest-3.11 pytest-framed.log 0
  stage_record fuzz 51234 0 0 executions
  bash -c "source \"\$1\"; stage_pytest aarch64-pytest pytest-ok.log 0" _ "$1"
  stage_report' "$root/scripts/stages.sh"
expect 'every stage clean' 0 'tests: 1768 passed, 0 failed' 'aarch64-pytest' 'fuzz'
[ "$(tail -n 1 <<<"$got")" = 'tests: 1768 passed, 0 failed' ] ||
  { echo "stages_test: the totals are not the last line:" >&2; echo "$got" >&2; exit 1; }

run 'stage_expect ctest; stage_ctest ctest ctest-older.log 0; stage_report'
expect 'the older CTest summary' 0 'tests: 142 passed, 0 failed'

run 'stage_expect pytest-3.12; stage_pytest pytest-3.12 pytest-cut.log 0; stage_report'
expect 'a pytest run that died before its summary' 1 'pytest-3.12 (no summary in its output)'

run 'stage_expect pytest-3.14 pytest-3.15; stage_pytest pytest-3.14 pytest-ok.log 0; stage_report'
expect 'a stage that never reported' 1 'pytest-3.15 (missing)' 'tests: 543 passed, 0 failed'

run 'stage_expect ctest-sanitize; stage_ctest ctest-sanitize ctest-failed.log 8; stage_report'
expect 'CTest failures' 1 'ctest-sanitize (4 failed)' 'tests: 138 passed, 4 failed'

run 'stage_expect pytest-3.13; stage_pytest pytest-3.13 pytest-failed.log 1; stage_report'
expect 'pytest failures and errors' 1 'pytest-3.13 (2 failed)' 'tests: 539 passed, 2 failed'

run 'stage_expect pytest-libcxx; stage_pytest pytest-libcxx pytest-ok.log 139; stage_report'
expect 'a clean summary but a nonzero status' 1 'pytest-libcxx (exit status 139)'

run 'stage_expect pytest-3.10; stage_pytest pytest-3.10 pytest-none.log 5; stage_report'
expect 'a run of no tests' 1 'pytest-3.10 (reported 0 tests)'

run 'stage_expect ctest; stage_ctest ctest ctest-none.log 8; stage_report'
expect 'CTest that found no tests' 1 'ctest (no summary in its output)'

run 'stage_expect ctest; stage_ctest ctest missing.log 0; stage_report'
expect 'a log that was never written' 1 'ctest (no summary in its output)'

run 'stage_expect fuzz; stage_record fuzz "" 0 0 executions; stage_report'
expect 'a fuzz run without its count' 1 'fuzz (no summary in its output)'

run 'stage_expect ctest; stage_ctest ctest ctest-ok.log 0; stage_ctest abi3t ctest-ok.log 0
  stage_report'
expect 'a stage not declared' 1 'abi3t (not expected: declare it with stage_expect)'

run 'stage_expect ctest; stage_ctest ctest ctest-ok.log 0; stage_ctest ctest ctest-ok.log 0
  stage_report'
expect 'a stage recorded twice' 1 'ctest (reported twice)'

run 'stage_interpreters 3.14 3.15 -- ./python3.14 ./python3.15'
expect 'the interpreters asked for' 0
run 'stage_interpreters 3.14 3.15 -- ./python3.14'
expect 'an interpreter short' 1 'interpreters: none for CPython 3.15; 1 given for 3.14 3.15'
run 'stage_interpreters 3.14 3.15 -- ./python3.14 ./python3.15 ./python3.15'
expect 'an interpreter too many' 1 'interpreters: 3 given for the 2 CPythons 3.14 3.15'
run 'stage_interpreters 3.14 3.15 -- ./python3.14 ./python3.14'
expect 'an interpreter of another version' 1 'interpreters: ./python3.14 is CPython 3.14, not 3.15'
run 'stage_interpreters 3.14 3.15 -- ./python3.14 ""'
expect 'an empty path' 1 "interpreters: '', given for CPython 3.15, does not run"

echo "stages_test: $checks checks passed"
