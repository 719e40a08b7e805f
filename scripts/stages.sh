# stages.sh: the test command's ledger of stages, sourced by test.sh and aarch64.sh.
# shellcheck shell=bash
# Each stage that runs tests records what it reported: its count of passed tests, of failed
# ones and its exit status. At the end the ledger is held against the stages declared up
# front, so a stage that was dropped, that crashed before its summary or that ran nothing
# fails the run instead of adding nothing to the total.
#
#   stages_init FILE                    a new ledger in FILE (exported as KOVEL_STAGES)
#   stage_expect NAME...                stages this run must report
#   stage_pytest NAME LOG STATUS        records a pytest run from the summary line of its log
#   stage_ctest NAME LOG STATUS         records a CTest run from the summary line of its log
#   stage_record NAME PASSED FAILED STATUS [UNIT]
#                                       any other count (UNIT: "tests" unless given; only
#                                       tests add to the total); PASSED "" or "-": no summary
#   stage_interpreters VERSION... -- PATH...
#                                       fails unless PATHs are CPython VERSIONs, in order
#   stage_report                        the table, then "tests: N passed, M failed"; fails
#                                       naming each stage that is missing or wrong
#
# The ledger is a file, so that a stage run as a script of its own (aarch64.sh) adds to it.

stages_expected=()

stages_init() {
  export KOVEL_STAGES=$1
  : >"$KOVEL_STAGES"
}

stage_expect() {
  stages_expected+=("$@")
}

stage_record() {
  local name=$1 passed=$2 failed=$3 status=$4 unit=${5:-tests}
  [ -n "${KOVEL_STAGES:-}" ] || { echo "stages.sh: no ledger to record $name in" >&2; return 1; }
  [[ $name =~ ^[A-Za-z0-9._-]+$ ]] || { echo "stages.sh: '$name' is no stage name" >&2; return 1; }
  [[ $passed =~ ^[0-9]+$ ]] || passed=-
  [[ $failed =~ ^[0-9]+$ ]] || failed=-
  [[ $status =~ ^[0-9]+$ ]] || status=-
  printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$passed" "$failed" "$status" "$unit" >>"$KOVEL_STAGES"
}

# The figure before WORD in LINE, 0 when LINE has none.
stage_figure() {
  local n
  n=$(grep -oE "[0-9]+ $2" <<<"$1" | grep -oE '^[0-9]+' | tail -n 1 || true)
  echo "${n:-0}"
}

# Only pytest's closing line counts ("540 passed, 3 skipped in 46.77s", "1 failed, 2 errors
# in 3.10s", "no tests ran in 0.01s", framed by "=" without -q): a test's own output that
# says "5 passed" is no summary, and a run that died before that line has none.
stage_pytest() {
  local line passed='' failed=''
  line=$(grep -E '^(=+ )?([0-9]+ [a-z]+(, [0-9]+ [a-z]+)*|no tests ran) in [0-9.]+s( \([0-9:]+\))?( =+)?$' \
    "$2" 2>/dev/null | tail -n 1 || true)
  if [ -n "$line" ]; then
    passed=$(stage_figure "$line" passed)
    failed=$(($(stage_figure "$line" failed) + $(stage_figure "$line" error)))
  fi
  stage_record "$1" "$passed" "$failed" "$3"
}

# CTest's closing line: "100% tests passed out of 142", or with failures "98% tests passed,
# 3 tests failed out of 142" (older CTest says "0 tests failed" too).
stage_ctest() {
  local line total failed='' passed=''
  line=$(grep -E '^[0-9]+% tests passed(, [0-9]+ tests? failed)? out of [0-9]+$' "$2" 2>/dev/null |
    tail -n 1 || true)
  if [ -n "$line" ]; then
    total=${line##*out of }
    failed=$(stage_figure "$line" 'tests? failed')
    passed=$((total - failed))
  fi
  stage_record "$1" "$passed" "${failed:-}" "$3"
}

stage_interpreters() {
  local asked=() paths=() i ver
  while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
    asked+=("$1")
    shift
  done
  [ "$#" -eq 0 ] || shift
  paths=("$@")
  if [ "${#paths[@]}" -lt "${#asked[@]}" ]; then
    echo "interpreters: none for CPython ${asked[*]:${#paths[@]}};" \
      "${#paths[@]} given for ${asked[*]}" >&2
    return 1
  elif [ "${#paths[@]}" -gt "${#asked[@]}" ]; then
    echo "interpreters: ${#paths[@]} given for the ${#asked[@]} CPythons ${asked[*]}" >&2
    return 1
  fi
  for i in "${!asked[@]}"; do
    ver=$("${paths[i]}" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) ||
      { echo "interpreters: '${paths[i]}', given for CPython ${asked[i]}, does not run" >&2; return 1; }
    [ "$ver" = "${asked[i]}" ] ||
      { echo "interpreters: ${paths[i]} is CPython $ver, not ${asked[i]}" >&2; return 1; }
  done
}

stage_report() {
  local name passed failed status unit why e total_passed=0 total_failed=0 wrong=()
  local -A seen=() expected=()
  for e in "${stages_expected[@]}"; do
    expected[$e]=1
  done
  printf '%-18s %8s %-10s %6s %6s\n' stage count unit failed status
  while IFS=$'\t' read -r name passed failed status unit; do
    why=''
    if [ -n "${seen[$name]:-}" ]; then
      why='reported twice'
    elif [ -z "${expected[$name]:-}" ]; then
      why='not expected: declare it with stage_expect'
    elif [ "$passed" = - ]; then
      why='no summary in its output'
    elif [ "$passed" -eq 0 ]; then
      why="reported 0 $unit"
    elif [ "$failed" = - ]; then
      why='no count of failures'
    elif [ "$failed" != 0 ]; then
      why="$failed failed"
    elif [ "$status" != 0 ]; then
      why="exit status $status"
    fi
    seen[$name]=1
    if [ "$unit" = tests ]; then
      [ "$passed" = - ] || total_passed=$((total_passed + passed))
      [ "$failed" = - ] || total_failed=$((total_failed + failed))
    fi
    printf '%-18s %8s %-10s %6s %6s  %s\n' "$name" "$passed" "$unit" "$failed" "$status" \
      "${why:-ok}"
    [ -z "$why" ] || wrong+=("$name ($why)")
  done <"$KOVEL_STAGES"
  for e in "${stages_expected[@]}"; do
    [ -n "${seen[$e]:-}" ] && continue
    seen[$e]=1
    printf '%-18s %8s %-10s %6s %6s  %s\n' "$e" - - - - 'missing: it never reported'
    wrong+=("$e (missing)")
  done
  if [ "${#wrong[@]}" -gt 0 ]; then
    echo "stages wrong: $(printf '%s, ' "${wrong[@]}" | sed 's/, $//')"
  fi
  echo "tests: $total_passed passed, $total_failed failed"
  [ "${#wrong[@]}" -eq 0 ] && [ "$total_failed" -eq 0 ]
}
