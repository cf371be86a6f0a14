#!/usr/bin/env python3
"""Holds a built library's export list against the expected names.

usage: check_exports.py elf|elf32|pe LIBRARY EXPECTED_DIR

EXPECTED_DIR holds *.txt files, one exported symbol a line (C++ names in
their x86-64 Itanium mangled form; '#' starts a comment). For the x86-64
shared object the dynamic export list must equal the expected set exactly.
For 32-bit builds, where mangled parameter types differ, the demangled names
without their parameter lists are compared. For a DLL, every expected name
must appear in the export table.
"""
import glob
import os
import re
import subprocess
import sys

LINKER_NAMES = {"_edata", "_end", "__bss_start", "_init", "_fini"}
# Names that the sanitizer runtime adds to instrumented builds.
SANITIZER_PREFIXES = ("__odr_asan", "__asan", "__ubsan", "__sanitizer", "__lsan")
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


def expected(dirname):
    names = set()
    for path in sorted(glob.glob(os.path.join(dirname, "*.txt"))):
        with open(path) as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                if line:
                    names.add(line)
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


def pe_exports(lib, objdump):
    out = subprocess.run([objdump, "-p", lib], capture_output=True, text=True,
                         check=True).stdout
    names = set()
    in_table = False
    for line in out.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if m:
                names.add(m.group(1))
            elif line.strip() == "":
                in_table = False
    return names


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


def main():
    mode, lib, dirname = sys.argv[1], sys.argv[2], sys.argv[3]
    want = expected(dirname)
    if mode == "elf":
        have = filtered(elf_exports(lib))
        missing, extra = want - have, have - want
    elif mode == "elf32":
        have = {base_name(d) for d in demangle(sorted(filtered(elf_exports(lib))))}
        want_b = {base_name(d) for d in demangle(sorted(want))}
        missing, extra = want_b - have, have - want_b
    else:
        objdump = sys.argv[4] if len(sys.argv) > 4 else "objdump"
        have = {base_name(d) for d in demangle(sorted(pe_exports(lib, objdump)))}
        want_b = {base_name(d) for d in demangle(sorted(want))}
        missing, extra = want_b - have, set()
    report(missing, extra)
    if missing or extra:
        return 1
    print("%d exports checked" % len(want))
    return 0


if __name__ == "__main__":
    sys.exit(main())
