#!/usr/bin/env python3
"""Size of a linked Windows program by origin, from the GNU linker's map file.

  stub_size.py MAP EXE [--top N]

Every input section placed in a section of the file is counted for the object or archive member
it came from; the origins are our code, libjpeg and the runtime (C++ runtime, C runtime, threads),
plus the DLL import tables and thunks and the resources. What no input section accounts for
(headers, relocations made by the linker, alignment) is its own row, so the rows add up to the
file's size. --top lists the largest members of the runtime and libjpeg as well.
"""
import os
import re
import sys

# output sections that take no room in the file, or are stripped from it
NOT_IN_FILE = re.compile(r"^(\.bss|\.debug|\.zdebug|/DISCARD/|\.gnu\.lto|\.stab)")
SECTION = re.compile(r"^(\S+)\s+0x[0-9a-fA-F]+\s+0x[0-9a-fA-F]+")
INPUT = re.compile(r"^ (\S+)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(\S.*)$")
WRAPPED_NAME = re.compile(r"^ (\S+)$")
WRAPPED_REST = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(\S.*)$")
SYSTEM_DLLS = {"kernel32", "user32", "gdi32", "advapi32", "shell32", "ole32", "oleaut32", "uuid",
               "comctl32", "comdlg32", "winspool", "version", "shlwapi", "ntdll"}

ORDER = ["our code", "libjpeg", "C++ runtime (libstdc++, libgcc)",
         "C runtime (MinGW CRT, msvcrt glue)", "threads (winpthread)",
         "DLL imports (tables, thunks)", "resources (picture, manifest)"]
RUNTIME = ORDER[2:5]


def origin(path):
    """(category, member) of one input file in the map."""
    name = path.strip()
    member = name
    m = re.match(r"^(.*\.a)\((.*)\)$", name)
    lib = os.path.basename(m.group(1)) if m else ""
    if m:
        member = lib + "(" + m.group(2) + ")"
    else:
        member = os.path.basename(name)
    if "libjpeg" in lib:
        return ORDER[1], member
    if lib.startswith("libkestrel") or name.endswith(".obj") or "ltrans" in name:
        return ORDER[0], member
    if name.endswith(".res"):
        return ORDER[6], member
    if lib in ("libpthread.a", "libwinpthread.a"):
        return ORDER[4], member
    if lib.startswith(("libstdc++", "libsupc++", "libgcc")):
        return ORDER[2], member
    if lib[3:-2] in SYSTEM_DLLS or name == "dll stuff":
        return ORDER[5], member
    return ORDER[3], member


def parse(map_path):
    sizes, members = {}, {}
    section = None
    pending = None
    with open(map_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    start = next((i for i, l in enumerate(lines) if l.startswith("Linker script and memory map")), 0)
    for line in lines[start:]:
        if line and not line[0].isspace():
            m = SECTION.match(line)
            if m:
                section = None if NOT_IN_FILE.match(m.group(1)) else m.group(1)
            elif not line.startswith(" "):
                # an output section whose name is too long for the column: its address follows
                name = line.split()[0]
                section = None if NOT_IN_FILE.match(name) else name
            pending = None
            continue
        if section is None:
            continue
        m = INPUT.match(line)
        size = path = None
        if m and not m.group(1).startswith("*"):
            size, path = int(m.group(3), 16), m.group(4)
        elif pending is not None:
            m = WRAPPED_REST.match(line)
            if m:
                size, path = int(m.group(2), 16), m.group(3)
        pending = None
        if size is None:
            w = WRAPPED_NAME.match(line)
            if w and not w.group(1).startswith(("*", "0x")):
                pending = w.group(1)
            continue
        if size == 0 or path.startswith("*"):
            continue
        cat, member = origin(path)
        sizes[cat] = sizes.get(cat, 0) + size
        key = (cat, member)
        members[key] = members.get(key, 0) + size
    return sizes, members


def main():
    args = sys.argv[1:]
    top = 0
    if "--top" in args:
        i = args.index("--top")
        top = int(args[i + 1])
        del args[i:i + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    sizes, members = parse(args[0])
    total = os.path.getsize(args[1])
    print(f"{os.path.basename(args[1])}: {total} bytes ({total / 1024:.1f} KiB)")
    counted = 0
    rows = []
    for cat in ORDER:
        n = sizes.get(cat, 0)
        counted += n
        rows.append((cat, n))
    rows.append(("headers, relocations, alignment", total - counted))
    runtime = sum(sizes.get(c, 0) for c in RUNTIME)
    for cat, n in rows:
        print(f"  {cat:<38} {n:>8}  {100.0 * n / total:5.1f}%")
    print(f"  {'runtime in all':<38} {runtime:>8}  {100.0 * runtime / total:5.1f}%")
    if top:
        for cat in RUNTIME + [ORDER[1]]:
            biggest = sorted(((n, m) for (c, m), n in members.items() if c == cat), reverse=True)
            if not biggest:
                continue
            print(f"  largest in {cat}:")
            for n, m in biggest[:top]:
                print(f"    {n:>8}  {m}")


if __name__ == "__main__":
    main()
