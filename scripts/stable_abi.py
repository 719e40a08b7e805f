"""stable_abi.py: checks that an extension imports nothing from the interpreter beyond its stable
ABI.

    python scripts/stable_abi.py MODULE.so --doc .../stable.html [--junit FILE] -- CC [CFLAGS ...]

The stable ABI's public names are the functions and data of "Contents of Limited API" in the
interpreter's own documentation (c-api/stable.html). Besides those, the ABI holds private
helpers that the limited headers' macros call (Py_INCREF calls _Py_IncRef there, say): a
private name is allowed when the headers, preprocessed by CC with CFLAGS (the build's own
definitions, Py_TARGET_ABI3T or Py_LIMITED_API), still declare it. Every other symbol that
starts with Py or _Py fails the check. Prints the count checked and each failure; --junit also
writes one test case a symbol.
"""

from __future__ import annotations

import argparse
import html
import re
import subprocess
import sys
import xml.etree.ElementTree as ET


def documented(doc_path: str) -> set[str]:
    """The functions and data that the documentation lists as the limited API's contents."""
    text = open(doc_path, encoding="utf-8").read()
    start = text.find('id="contents-of-limited-api"')
    if start < 0:
        sys.exit(f"{doc_path}: no 'Contents of Limited API' section")
    entries = re.findall(
        r'<code class="xref c (c-func|c-data|c-var)[^"]*"><span class="pre">([^<]+)</span>',
        text[start:],
    )
    names = {html.unescape(name).removesuffix("()") for _, name in entries}
    if len(names) < 500:
        sys.exit(f"{doc_path}: only {len(names)} functions and data listed; not the full list")
    return names


def declared_private(compiler: list[str]) -> set[str]:
    """The private (_Py) functions and data that the headers declare for this build."""
    out = subprocess.run(
        [*compiler, "-E", "-P", "-x", "c", "-"],
        input="#include <Python.h>\n",
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        sys.exit(f"preprocessing Python.h failed:\n{out.stderr}")
    # PyAPI_FUNC and PyAPI_DATA expand to a default-visibility declaration.
    decls = re.findall(r'visibility\s*\(\s*"default"\s*\)\s*\)\s*\)([^;]*);', out.stdout)
    names = set()
    for decl in decls:
        m = re.search(r"\b(_Py\w+)\s*(\(|\[|$)", decl.strip())
        if m:
            names.add(m.group(1))
    return names


def imported(module: str) -> list[str]:
    out = subprocess.run(
        ["nm", "-D", "--undefined-only", module], capture_output=True, text=True, check=True
    )
    names = (line.split()[-1].split("@")[0] for line in out.stdout.splitlines() if line.strip())
    return sorted({n for n in names if n.startswith(("Py", "_Py"))})


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("module")
    ap.add_argument("--doc", required=True, help="the interpreter's c-api/stable.html")
    ap.add_argument("--junit", help="where to write the results as JUnit XML")
    ap.add_argument("compiler", nargs="+", help="after --: the compiler and the build's flags")
    args = ap.parse_args()
    public = documented(args.doc)
    private = declared_private(args.compiler)
    names = imported(args.module)
    bad = [n for n in names if n not in (private if n.startswith("_") else public)]
    print(
        f"{args.module}: {len(names)} imported symbols checked against {len(public)} documented"
        f" and {len(private)} declared private ones: {len(bad)} outside the stable ABI"
    )
    for n in bad:
        print(f"  not in the stable ABI: {n}")
    if args.junit:
        suite = ET.Element("testsuite", tests=str(len(names)), failures=str(len(bad)))
        ET.SubElement(ET.SubElement(suite, "properties"), "property", name="unit", value="symbols")
        for n in names:
            case = ET.SubElement(suite, "testcase", classname="stable-abi", name=n)
            if n in bad:
                ET.SubElement(case, "failure", message="not in the stable ABI")
        ET.ElementTree(suite).write(args.junit, encoding="utf-8", xml_declaration=True)
    sys.exit(1 if bad or not names else 0)


if __name__ == "__main__":
    main()
