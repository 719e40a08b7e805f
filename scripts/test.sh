#!/usr/bin/env bash
# test.sh: every test: the C++ core (CTest), a short decoder fuzz run, and the Python suite
# against one abi3 wheel installed into every CPython 3.10+ found, plus the typing checks.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out="$root/build-test"
mkdir -p "$out"
passed=0
failed=0

count() {  # adds the "N passed" / "N failed" figures of a runner's log
  local p f
  p=$(grep -oE '[0-9]+ passed' "$1" | tail -n 1 | grep -oE '[0-9]+' || true)
  f=$(grep -oE '[0-9]+ failed' "$1" | tail -n 1 | grep -oE '[0-9]+' || true)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
}

bash scripts/deps.sh

echo "== C++ core tests"
cmake -S . -B build-test/core -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVEL_TESTS=ON >/dev/null
cmake --build build-test/core -j2
(cd build-test/core && ctest --output-on-failure -j2) | tee "$out/ctest.log"
ctest_total=$(grep -oE 'out of [0-9]+' "$out/ctest.log" | grep -oE '[0-9]+' | tail -n 1)
ctest_failed=$(grep -oE '[0-9]+ tests failed' "$out/ctest.log" | grep -oE '[0-9]+' || echo 0)
passed=$((passed + ctest_total - ctest_failed))

echo "== decoder fuzz run (${KOVEL_FUZZ_SECONDS:-60}s)"
bash scripts/fuzz.sh "${KOVEL_FUZZ_SECONDS:-60}"

echo "== one abi3 wheel"
python3 -m pip wheel --no-deps -q -w "$out/dist" . 2>&1 | tail -n 5
wheel=$(ls -t "$out"/dist/kovel-*-cp310-abi3-*.whl | head -n 1)
echo "built $(basename "$wheel")"

pythons=()
if command -v pyenv >/dev/null 2>&1; then
  for v in $(pyenv versions --bare | grep -E '^3\.(1[0-9]|[2-9][0-9])\.[0-9]+$' | sort -V); do
    pythons+=("$(pyenv root)/versions/$v/bin/python")
  done
fi
[ "${#pythons[@]}" -gt 0 ] || pythons=("$(command -v python3)")

for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== Python $ver"
  venv="$out/venv-$ver"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q -r tests/python/requirements.txt
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" examples/tour.py >/dev/null
  log="$out/pytest-$ver.log"
  status=0
  (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider) 2>&1 | tee "$log" || status=$?
  count "$log"
  [ "$status" -eq 0 ] || { echo "pytest failed on Python $ver"; exit 1; }
done

echo "== typing: stub against the module, examples under --strict"
venv="$out/venv-$("${pythons[-1]}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
"$venv/bin/python" -m mypy.stubtest kovel._kovel
"$venv/bin/python" -m mypy --strict examples/

echo "== under address and undefined-behaviour sanitizers: C++ core, then the Python suite"
cmake -S . -B build-test/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOVEL_SANITIZE=ON \
  -DKOVEL_TESTS=ON -DKOVEL_PYTHON=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build-test/sanitize -j2
(cd build-test/sanitize && ctest -j2 | tail -n 3) | tee "$out/ctest-sanitize.log"
grep -q '100% tests passed' "$out/ctest-sanitize.log"
pkg="$out/sanitize-pkg"
rm -rf "$pkg" && mkdir -p "$pkg/kovel"
cp pysrc/kovel/* "$pkg/kovel/" && cp build-test/sanitize/python/_kovel*.so "$pkg/kovel/"
# The loop test measures resident memory, which the sanitizer's quarantine inflates.
log="$out/pytest-sanitize.log"
(cd tests/python && PYTHONPATH="$pkg" ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider -k 'not test_no_leaks_in_a_loop') 2>&1 |
  tee "$log"
count "$log"

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
