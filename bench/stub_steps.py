#!/usr/bin/env python3
"""What each of the stub's size measures saves: setup.exe of the win32 preset built with all of
them, with each one taken back alone, and from none of them to all of them one at a time.

  bench/stub_steps.py [--rev REV] [--out DIR] [--only NAME,...] [--decoder] [--list]

Every variant is built from its own copy of the committed tree (git archive REV), patched in the
copy only, with `cmake --preset win32` into DIR/<name> (default build/size-steps) and -j2, target
setup. The measures and how one is taken back (the patch is checked to apply exactly):

  eh     -fno-exceptions -fno-rtti -fno-(asynchronous-)unwind-tables dropped from the program's
         flags (the code compiles either way); exc, rtti and unwind drop one of them each
  rt     setup/runtime_win32.cpp keeps only its Error box for abort and unhandled system
         exceptions: the library's own operator new/delete, throwing helpers, terminate handler,
         pure-virtual hook and static-guard functions come back; rt-new, rt-throw, rt-term,
         rt-pure and rt-guard give back one group each
  thr    the posix (winpthread) thread model: i686-w64-mingw32-gcc/g++-posix
  lto    -DKESTREL_LTO=OFF
  gc     -ffunction-sections -fdata-sections and -Wl,--gc-sections dropped; gc-link drops only
         the linker's --gc-sections
  jpeg   libjpeg built as before the size work: every capability switch on, C99 stdio, no extra
         flags; jpeg-full, jpeg-stdio and jpeg-misc take back the capability switches, the
         msvcrt _snprintf with __USE_MINGW_ANSI_STDIO=0, and -fno-asynchronous-unwind-tables
         with NO_GETENV/NO_PUTENV, one each. They exist only where pic is taken back too
         (variants -pic-jpeg...)
  log    the log stamp by snprintf and the error number by std::to_wstring (the change that
         replaced them, reversed)
  pic    the side picture decoded by libjpeg linked into the program (cross-built from Debian's
         source package, which needs dpkg-dev and a deb-src entry: scripts/bootstrap makes both)
         instead of by the system's picture loader (the change that replaced it, reversed)
  crt    the C runtime's start-up files (crt2, its TLS, pseudo-relocation and crash-handler
         support) linked again, wWinMain called by them instead of the program's own entry point
  stack  frames padded to 16-byte stack alignment again (-mpreferred-stack-boundary=2 dropped)
  ehfr   the library objects' unwind tables linked again (setup/no-unwind-tables.ld dropped)
  oz     the program at -Os again, not at -Oz (the payload's code is at -Os either way)
  push   i686 calls' arguments stored into space each frame keeps, and frames probed by the
         stack probe call, as MinGW does by default (-mno-accumulate-outgoing-args,
         -mno-stack-arg-probe and -fstack-clash-protection dropped)
  inl    i686 small functions inlined again where their call would cost about as much
         (-fno-inline-small-functions dropped; the payload's code inlines them either way)
  fp     i686 frames keep a frame pointer again, as MinGW does by default (-fomit-frame-pointer
         dropped)
  decos  (not a size measure) the block decoder at -Os with LTO like the rest, instead of -O2;
         decos-nolto at -Os without LTO

Besides the variants above: the path none, none+eh, none+eh+rt, ... in the order of ORDER, and
a few combinations (--list names them all; names that begin with "-" go as --only=-pic,-log).
`--rev 9b658be^ --out build/size-before --only today` builds the tree as it was before the size
work.

--decoder also builds kestrel_decoder_speed in each variant (today and decos* always do).
Prints a table (bytes, saved vs today, sections, bytes by origin from bench/stub_size.py) of
every variant in DIR/sizes.tsv, to which each build appends a row.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# cumulative order: the path from none of the measures to all of them
ORDER = ["eh", "rt", "thr", "lto", "gc", "jpeg", "log", "pic", "crt", "stack", "ehfr", "oz", "push",
         "fp", "inl"]
GROUPS = {
    "eh": ["exc", "rtti", "unwind"],
    "rt": ["rt-new", "rt-throw", "rt-term", "rt-pure", "rt-guard"],
    "gc": ["gc-comp", "gc-link"],
    "jpeg": ["jpeg-full", "jpeg-stdio", "jpeg-misc"],
}
# measures that exist only while another one is taken back: libjpeg's build, without libjpeg
NEEDS = {"jpeg": ["pic"]}
# the change that replaced libjpeg by the system's picture loader
PIC = "6af9d0e"


def expand(keys):
    out = set()
    for k in keys:
        out.update(GROUPS.get(k, [k]))
    return out


def variants():
    """(name, take-backs) in build order."""
    v = [("today", [])]
    for m in ORDER:
        pre = NEEDS.get(m, [])
        v.append(("-" + "-".join(pre + [m]), pre + [m]))
        for s in GROUPS.get(m, []):
            if s != "gc-comp":
                v.append(("-" + "-".join(pre + [s]), pre + [s]))
    v.append(("none", list(ORDER)))
    for i in range(1, len(ORDER)):
        v.append(("none+" + "+".join(ORDER[:i]), ORDER[i:]))
    # the runtime's pieces given back with its terminate handler kept; the thread model where
    # the library's exception runtime is linked; the setup before the size work on today's code
    # (its link already dropped unused sections, its objects had no sections of their own)
    v += [("-rt-but-term", [g for g in GROUPS["rt"] if g != "rt-term"])]
    v += [("-rt-thr", ["rt", "thr"]), ("-eh-rt", ["eh", "rt"]), ("-eh-rt-thr", ["eh", "rt", "thr"]),
          ("none+gc-link", [m for m in ORDER if m != "gc"] + ["gc-comp"])]
    v.append(("decos", ["decos"]))
    v.append(("decos-nolto", ["decos-nolto"]))
    return v


def replace(path, old, new, count=1):
    with open(path) as f:
        text = f.read()
    if text.count(old) != count:
        sys.exit(f"stub_steps: {os.path.basename(path)}: expected {count}x {old!r}, "
                 f"found {text.count(old)}")
    with open(path, "w") as f:
        f.write(text.replace(old, new))


def line_of(lines, start, after=-1):
    n = [i for i, l in enumerate(lines) if l.startswith(start) and i > after]
    if not n:
        sys.exit(f"stub_steps: runtime_win32.cpp: no line {start!r}")
    return n[0]


def cut_runtime(path, takes):
    """Removes the groups of library replacements named in `takes` from the runtime file; the
    ranges are found on the original text, so any combination can be cut."""
    with open(path) as f:
        lines = f.readlines()
    new = line_of(lines, "// ---- allocation:")
    throw = line_of(lines, "// ---- the library's throwing helpers")
    term = line_of(lines, "// Defining the handler variable")
    pure = line_of(lines, 'extern "C" void __cxa_pure_virtual()')
    guard = line_of(lines, "// ---- thread-safe initialisation")
    on_term = line_of(lines, "void OnTerminate() {")
    on_term_end = line_of(lines, "}", on_term) + 2  # with the blank line after it
    ranges = {"rt-new": [(new, throw)], "rt-throw": [(throw, term)],
              # OnTerminate's only user goes with the handler: left, it would be unused
              "rt-term": [(term, pure), (on_term, on_term_end)],
              "rt-pure": [(pure, line_of(lines, "}", pure) + 1)],
              "rt-guard": [(guard, len(lines))]}
    drop = set()
    for k, rs in ranges.items():
        if k in takes:
            for a, b in rs:
                drop.update(range(a, b))
    with open(path, "w") as f:
        f.writelines(l for i, l in enumerate(lines) if i not in drop)


def patch(src, takes):
    cm = os.path.join(src, "CMakeLists.txt")
    flags_old = ("set(KESTREL_PROGRAM_FLAGS -fno-exceptions -fno-rtti "
                 "-fno-asynchronous-unwind-tables\n"
                 "      -fno-unwind-tables -ffunction-sections -fdata-sections)")
    flags = flags_old
    if "exc" in takes:
        flags = flags.replace("-fno-exceptions ", "")
    if "rtti" in takes:
        flags = flags.replace("-fno-rtti ", "")
    if "unwind" in takes:
        flags = flags.replace(" -fno-asynchronous-unwind-tables\n      -fno-unwind-tables",
                              "\n     ")
    if "gc-comp" in takes:
        flags = flags.replace(" -ffunction-sections -fdata-sections", "")
    if flags != flags_old:
        replace(cm, flags_old, flags)
    if "gc-link" in takes:
        replace(cm, "set(KESTREL_PROGRAM_LINK_FLAGS -Wl,--gc-sections)",
                "set(KESTREL_PROGRAM_LINK_FLAGS)")
    dec = ('set_source_files_properties(decode/tsmufflz.cpp PROPERTIES COMPILE_OPTIONS '
           '"-O2;-fno-lto")')
    if "decos" in takes:
        replace(cm, dec, "")
    if "decos-nolto" in takes:
        replace(cm, dec, dec.replace("-O2", "-Os"))

    if takes & set(GROUPS["rt"]):
        cut_runtime(os.path.join(src, "setup", "runtime_win32.cpp"), takes)

    if "pic" in takes:  # first: the libjpeg measures below patch the recipe this brings back
        diff = subprocess.run(["git", "-C", ROOT, "diff", PIC, PIC + "^", "--",
                               "cmake/libjpeg.cmake", "scripts/build-libjpeg",
                               "setup/CMakeLists.txt", "toolkit", "wizard/mainunit_win32.cpp"],
                              check=True, capture_output=True, text=True).stdout
        subprocess.run(["patch", "-s", "-p1", "-d", src], input=diff, text=True, check=True)
        os.chmod(os.path.join(src, "scripts", "build-libjpeg"), 0o755)

    if "thr" in takes:
        tc = os.path.join(src, "cmake", "mingw-i686.cmake")
        replace(tc, "i686-w64-mingw32-gcc-win32", "i686-w64-mingw32-gcc-posix")
        replace(tc, "i686-w64-mingw32-g++-win32", "i686-w64-mingw32-g++-posix")

    bj = os.path.join(src, "scripts", "build-libjpeg")
    if "jpeg-full" in takes:
        replace(bj, "cfg=$bld/src/jmorecfg.h\n", "cfg=$bld/src/jmorecfg.h\nif false; then\n")
        replace(bj, '  sed -i "s/^#define $opt\\b/#undef $opt/" "$cfg"\ndone\n',
                '  sed -i "s/^#define $opt\\b/#undef $opt/" "$cfg"\ndone\nfi\n')
    if "jpeg-stdio" in takes:
        replace(bj, "inc=$bld/src/jinclude.h\n", "inc=$bld/src/jinclude.h\nif false; then\n")
        replace(bj, "(str)[(n) - 1] = 0)/' \"$inc\"\n", "(str)[(n) - 1] = 0)/' \"$inc\"\nfi\n")
        replace(bj, " -D__USE_MINGW_ANSI_STDIO=0", "")
    if "jpeg-misc" in takes:
        replace(bj, " -fno-asynchronous-unwind-tables -D", " -D")
        replace(bj, " -DNO_GETENV -DNO_PUTENV", "")

    if "log" in takes:  # the change 9f19257 reversed, on today's text
        log = os.path.join(src, "sysutil", "log.cpp")
        with open(log) as f:
            text = f.read()
        a = text.find("  // digits by hand:")
        b = text.find("  digits(millisecond, 3, ' ');\n")
        if a < 0 or b < a:
            sys.exit("stub_steps: log.cpp: the hand-made digits not found")
        text = (text[:a] + '  char stamp[32];\n'
                '  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", year, '
                'month, day, hour,\n                minute, second, millisecond);\n'
                '  std::string out(stamp);\n' + text[b + len("  digits(millisecond, 3, ' ');\n"):])
        with open(log, "w") as f:
            f.write(text)
        replace(log, '#include "sysutil/log.h"\n', '#include "sysutil/log.h"\n\n#include <cstdio>\n')
        replace(os.path.join(src, "sysutil", "productsystem_win32.cpp"),
                "Utf8ToUtf16(std::to_string(code))", "FromWide(std::to_wstring(code).c_str())")
    if "stack" in takes:
        for var in ("KESTREL_PROGRAM_FLAGS", "KESTREL_PROGRAM_LINK_FLAGS"):
            replace(cm, "    list(APPEND %s -mpreferred-stack-boundary=2)\n" % var, "")
    if "oz" in takes:
        for var in ("KESTREL_PROGRAM_FLAGS", "KESTREL_PROGRAM_LINK_FLAGS"):
            replace(cm, "  list(APPEND %s -Oz)\n" % var, "")
    if "push" in takes:
        for var in ("KESTREL_PROGRAM_FLAGS", "KESTREL_PROGRAM_LINK_FLAGS"):
            replace(cm, "    list(APPEND %s ${_kestrel_push_args})\n" % var, "")
    if "inl" in takes:
        for var in ("KESTREL_PROGRAM_FLAGS", "KESTREL_PROGRAM_LINK_FLAGS"):
            replace(cm, "    list(APPEND %s -fno-inline-small-functions)\n" % var, "")
    if "fp" in takes:
        for var in ("KESTREL_PROGRAM_FLAGS", "KESTREL_PROGRAM_LINK_FLAGS"):
            replace(cm, "    list(APPEND %s -fomit-frame-pointer)\n" % var, "")
    if "ehfr" in takes:
        replace(os.path.join(src, "setup", "CMakeLists.txt"),
                "target_link_options(setup PRIVATE -Wl,-T,${CMAKE_CURRENT_SOURCE_DIR}/"
                "no-unwind-tables.ld)\n", "")
    if "crt" in takes:  # the change 04aab45 reversed, on today's text
        setup = os.path.join(src, "setup")
        cml = os.path.join(setup, "CMakeLists.txt")
        with open(cml) as f:
            text = f.read()
        a = text.find("# No C runtime start-up files:")
        b = text.find("-Wl,-e,${KESTREL_ENTRY}\n  -Wl,--disable-auto-import ")
        if a < 0 or b < a:
            sys.exit("stub_steps: setup/CMakeLists.txt: the entry point's link options not found")
        text = (text[:a] + "target_link_options(setup PRIVATE -municode " +
                text[b + len("-Wl,-e,${KESTREL_ENTRY}\n  -Wl,--disable-auto-import "):])
        with open(cml, "w") as f:
            f.write(text)
        replace(cml, "kestrel_win32 mingw32 gcc msvcrt kernel32)", "kestrel_win32)")
        main = os.path.join(setup, "setup_win32.cpp")
        with open(main) as f:
            text = f.read()
        a = text.find("namespace {\n\n// The C runtime's start-up")
        if a < 0:
            sys.exit("stub_steps: setup_win32.cpp: the entry point not found")
        with open(main, "w") as f:
            f.write(text[:a] + "int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {\n"
                    "  kestrel::InstallFaultHandlers();\n  kestrel::RestrictDllSearch();\n"
                    "  kestrel::BindFileFunctions64();\n  kestrel::ui::SetMainThread();\n"
                    "  return kestrel::RunSession(instance);\n}\n")


def sections(exe):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-h", exe], check=True,
                         capture_output=True, text=True).stdout
    sec = {}
    for line in out.splitlines():
        m = re.match(r"^\s+\d+\s+(\S+)\s+([0-9a-f]+)\s", line)
        if m:
            sec[m.group(1)] = int(m.group(2), 16)
    return sec


def origins(mapfile, exe):
    if not os.path.exists(mapfile):  # older trees link without a map
        return {}
    out = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "stub_size.py"), mapfile,
                          exe], check=True, capture_output=True, text=True).stdout
    rows = {}
    for line in out.splitlines():
        m = re.match(r"^  (.+?)\s+(\d+)\s+[\d.]+%$", line)
        if m:
            rows[m.group(1)] = int(m.group(2))
    return rows


def run(cmd, log, **kw):
    with open(log, "a") as f:
        f.write("$ " + " ".join(cmd) + "\n")
        f.flush()
        r = subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT, **kw)
    if r.returncode:
        sys.exit(f"stub_steps: failed ({r.returncode}), see {log}: {' '.join(cmd)}")


def build(name, takes, args):
    takes = expand(takes)
    if "lto" in takes:
        takes.discard("lto")
        lto = False
    else:
        lto = True
    src = os.path.join(args.out, "src", name)
    bld = os.path.join(args.out, name)
    log = os.path.join(args.out, name + ".log")
    shutil.rmtree(src, ignore_errors=True)
    shutil.rmtree(bld, ignore_errors=True)
    if os.path.exists(log):
        os.remove(log)
    os.makedirs(src)
    arch = subprocess.run(["git", "-C", ROOT, "archive", args.rev], check=True,
                          capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", src], input=arch, check=True)
    patch(src, takes)
    cfg = ["cmake", "--preset", "win32", "-B", bld, "-DKESTREL_LTO=" + ("ON" if lto else "OFF")]
    jroot = ""
    script = os.path.join(src, "scripts", "build-libjpeg")
    if os.path.isfile(script):  # a tree that links libjpeg
        # libjpeg by the copy's own recipe and toolchain, shared by the variants that agree on both
        recipe = hashlib.sha256()
        for p in ("scripts/build-libjpeg", "cmake/mingw-i686.cmake"):
            with open(os.path.join(src, p), "rb") as f:
                recipe.update(f.read())
        jroot = os.path.join(args.out, "jpeg", recipe.hexdigest()[:12])
        tp = os.path.join(src, "build", "third_party")
        os.makedirs(tp)
        # Debian's source, fetched once for every variant
        shared = os.path.join(args.out, "libjpeg-turbo-src")
        if os.path.isfile(os.path.join(shared, "jpeglib.h")):
            # the recipe copies the source before patching it, so links to the shared files are safe
            subprocess.run(["cp", "-al", shared, os.path.join(tp, "libjpeg-turbo-src")], check=True)
            run([script, "i686", jroot], log)
        else:
            run([script, "i686", jroot], log)
            subprocess.run(["cp", "-a", os.path.join(tp, "libjpeg-turbo-src"), shared], check=True)
        cfg.append("-DKESTREL_JPEG_ROOT=" + jroot)
    run(cfg, log, cwd=src)
    targets = ["setup"]
    if args.decoder or name.startswith("decos") or name == "today":
        known = subprocess.run(["ninja", "-C", bld, "-t", "targets", "all"], check=True,
                               capture_output=True, text=True).stdout
        if "bench/kestrel_decoder_speed.exe:" in known:  # older trees have none for Windows
            targets.append("kestrel_decoder_speed")
    run(["cmake", "--build", bld, "-j2", "--target"] + targets, log)
    exe = os.path.join(bld, "setup", "setup.exe")
    res = {"name": name, "takes": ",".join(sorted(takes | (set() if lto else {"lto"}))),
           "bytes": os.path.getsize(exe), "sec": sections(exe),
           "orig": origins(os.path.join(bld, "setup", "setup.map"), exe), "jpeg": jroot}
    dexe = os.path.join(bld, "bench", "kestrel_decoder_speed.exe")
    res["decoder"] = os.path.getsize(dexe) if os.path.exists(dexe) else None
    shutil.rmtree(src)
    return res


ORIG = [("our code", "ours"), ("libjpeg", "jpeg"), ("C++ runtime (libstdc++, libgcc)", "c++rt"),
        ("C runtime (MinGW CRT, msvcrt glue)", "crt"), ("threads (winpthread)", "thr")]
SECS = [".text", ".rdata", ".data", ".eh_fram", ".idata", ".reloc"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rev", default="HEAD")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "size-steps"))
    ap.add_argument("--only", default="")
    ap.add_argument("--decoder", action="store_true")
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args()
    args.out = os.path.abspath(args.out)
    todo = variants()
    if args.list:
        for n, t in todo:
            print(n, " ".join(t))
        return
    if args.only:
        want = args.only.split(",")
        todo = [v for v in todo if v[0] in want]
    os.makedirs(args.out, exist_ok=True)
    tsv = os.path.join(args.out, "sizes.tsv")
    for name, takes in todo:
        print(f"building {name} ...", file=sys.stderr, flush=True)
        r = build(name, takes, args)
        with open(tsv, "a") as f:
            f.write("\t".join([r["name"], str(r["bytes"]), r["takes"] or "-"] +
                              [str(r["sec"].get(s, 0)) for s in SECS] +
                              [str(r["orig"].get(o, 0)) for o, _ in ORIG] +
                              [str(r["decoder"] or "")]) + "\n")
        print(f"  {name}: {r['bytes']} bytes", file=sys.stderr, flush=True)
    # the table from every variant measured into DIR so far, the last run of each
    rows = {}
    with open(tsv) as f:
        for line in f:
            c = line.rstrip("\n").split("\t")
            rows[c[0]] = c
    order = [n for n, _ in variants()]
    names = sorted(rows, key=lambda n: order.index(n) if n in order else len(order))
    today = int(rows["today"][1]) if "today" in rows else None
    print(f"{'variant':<28} {'bytes':>8} {'vs today':>9}  " +
          " ".join(f"{s.lstrip('.')[:6]:>7}" for s in SECS) + "  " +
          " ".join(f"{a:>7}" for _, a in ORIG))
    for n in names:
        c = rows[n]
        d = f"{int(c[1]) - today:+9d}" if today else f"{'':>9}"
        print(f"{n:<28} {c[1]:>8} {d}  " + " ".join(f"{x:>7}" for x in c[3:3 + len(SECS)]) +
              "  " + " ".join(f"{x:>7}" for x in c[3 + len(SECS):3 + len(SECS) + len(ORIG)]))


if __name__ == "__main__":
    main()
