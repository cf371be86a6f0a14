#!/usr/bin/env python3
"""Holds a built library's export list against the expected names.

usage: check_exports.py elf|elf32|pe LIBRARY EXPECTED_DIR
       check_exports.py header HEADER EXPECTED_DIR

EXPECTED_DIR holds *.txt files, one exported symbol a line (C++ names in
their x86-64 Itanium mangled form; '#' starts a comment). For the x86-64
shared object the dynamic export list must equal the expected set exactly.
For 32-bit builds, where mangled parameter types differ, the demangled names
without their parameter lists are compared. For a DLL, every expected name
must appear in the export table, nothing else may (but the aliases below),
each alias must name the same address as its target, and the DLL may import
from no other DLL than those listed in EXPECTED_DIR/pe_imports.list.
"""
import glob
import os
import re
import subprocess
import sys

LINKER_NAMES = {"_edata", "_end", "__bss_start", "_init", "_fini"}
# Names that the sanitizer runtime adds to instrumented builds.
SANITIZER_PREFIXES = ("__odr_asan", "__asan", "__ubsan", "__sanitizer", "__lsan")
# Extra DLL export names and the export whose address each must carry: the
# one C++ entry point under the platform compiler's decoration.
PE_ALIASES = {"?zebMfsIsVfsDeployed@@YA_NXZ": "_Z19zebMfsIsVfsDeployedv"}
STD_RE = re.compile(r"^(?:[^\s(]+ )?(?:std|__gnu_cxx)::|for (?:std|__gnu_cxx)::")


def demangle(names):
    if not names:
        return []
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True,
                         text=True, check=True).stdout.splitlines()
    return out


def base_name(demangled):
    # Drop the parameter list (and anything after it) of a function name.
    depth = 0
    for i, ch in enumerate(demangled):
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif ch == "(" and depth == 0 and not demangled.startswith(("typeinfo", "vtable")):
            return demangled[:i]
    return demangled


def expected_list(path):
    names = set()
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.add(line)
    return names


def expected(dirname):
    names = set()
    for path in sorted(glob.glob(os.path.join(dirname, "*.txt"))):
        names |= expected_list(path)
    return names


def elf_exports(lib):
    out = subprocess.run(["nm", "-D", "--defined-only", lib], capture_output=True,
                         text=True, check=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3:
            names.add(parts[2].split("@")[0])
    return names


def pe_tables(lib, objdump):
    """Export names with their addresses, and the names of imported DLLs."""
    out = subprocess.run([objdump, "-p", lib], capture_output=True, text=True,
                         check=True).stdout
    addresses, names, imports = {}, {}, set()
    table = None
    for line in out.splitlines():
        if line.startswith("Export Address Table -- Ordinal Base"):
            table = "addresses"
            continue
        if "[Ordinal/Name Pointer] Table" in line:
            table = "names"
            continue
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            imports.add(m.group(1))
        if table == "addresses":
            m = re.match(r"\s*\[\s*(\d+)\]\s+\+base\[\s*\d+\]\s+([0-9a-fA-F]+)", line)
            if m:
                addresses[int(m.group(1))] = int(m.group(2), 16)
                continue
        if table == "names":
            m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)", line)
            if m:
                names[m.group(2)] = int(m.group(1))
                continue
        if line.strip() == "":
            table = None
    exports = {name: addresses.get(index) for name, index in names.items()}
    return exports, imports


def check_pe(lib, dirname, objdump, want):
    exports, imports = pe_tables(lib, objdump)
    problems = []
    for alias, target in sorted(PE_ALIASES.items()):
        if alias not in exports or target not in exports:
            problems.append("missing alias export: %s (of %s)" % (alias, target))
        elif exports[alias] != exports[target]:
            problems.append("alias %s does not name %s's address" % (alias, target))
    plain = sorted(n for n in exports if n not in PE_ALIASES)
    have = {base_name(d) for d in demangle(plain)}
    want_b = {base_name(d) for d in demangle(sorted(want))}
    allowed = expected_list(os.path.join(dirname, "pe_imports.list"))
    problems += ["missing export: " + n for n in sorted(want_b - have)]
    problems += ["unexpected export: " + n for n in sorted(have - want_b)]
    problems += ["imports a DLL that is not a system DLL: " + n
                 for n in sorted(imports) if n.lower() not in {a.lower() for a in allowed}]
    for p in problems:
        print(p)
    if problems:
        return 1
    print("%d exports and %d aliases checked; imports only %s" %
          (len(want), len(PE_ALIASES), ", ".join(sorted(imports))))
    return 0


def filtered(names):
    names = {n for n in names if n not in LINKER_NAMES and not n.startswith(SANITIZER_PREFIXES)}
    keep = set()
    for n, d in zip(sorted(names), demangle(sorted(names))):
        if not STD_RE.search(d):
            keep.add(n)
    return keep


def report(missing, extra):
    for n in sorted(missing):
        print("missing export:", n)
    for n in sorted(extra):
        print("unexpected export:", n)


def check_header(header, want):
    """Every name that the host's header declares with KELVRA_API is exported."""
    with open(header) as f:
        text = re.sub(r"/\*.*?\*/", " ", f.read(), flags=re.S)
    text = "\n".join(l for l in text.splitlines() if not l.lstrip().startswith("#"))
    declared = set()
    for decl in re.findall(r"KELVRA_API\s+([^;]*);", text):
        # The declared name is the last word before the parameter list or
        # the array bounds.
        m = re.search(r"(\w+)\s*$", re.split(r"[(\[]", decl, maxsplit=1)[0])
        if m:
            declared.add(m.group(1))
    plain = {base_name(d) for d in demangle(sorted(want))}
    hidden = sorted(n for n in declared if n not in plain)
    for n in hidden:
        print("declared in the header but not exported:", n)
    if hidden or not declared:
        return 1
    print("%d declarations of the header exported" % len(declared))
    return 0


def main():
    mode, lib, dirname = sys.argv[1], sys.argv[2], sys.argv[3]
    want = expected(dirname)
    if mode == "header":
        return check_header(lib, want)
    if mode == "elf":
        have = filtered(elf_exports(lib))
        missing, extra = want - have, have - want
    elif mode == "elf32":
        have = {base_name(d) for d in demangle(sorted(filtered(elf_exports(lib))))}
        want_b = {base_name(d) for d in demangle(sorted(want))}
        missing, extra = want_b - have, have - want_b
    else:
        objdump = sys.argv[4] if len(sys.argv) > 4 else "objdump"
        return check_pe(lib, dirname, objdump, want)
    report(missing, extra)
    if missing or extra:
        return 1
    print("%d exports checked" % len(want))
    return 0


if __name__ == "__main__":
    sys.exit(main())
