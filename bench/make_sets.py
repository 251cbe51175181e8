#!/usr/bin/env python3
"""Builds the solid-codec benchmark's three file sets from packages on this machine.

  programs  Wine's stripped PE programs and libraries (up to 1 MB each) and copyright texts:
            about 450 files, 44 MB
  product   a product: Wine's PE files, HTML documentation, icons and texts: about 5,800 files,
            170 MB
  small     10,000 small files (up to 16 KB: headers, texts, icons): about 40 MB

Each set goes to OUTDIR/NAME/corpus/... with OUTDIR/NAME/kestrel.toml, OUTDIR/NAME/setup.nsi (NSIS,
/SOLID lzma; -DAMD64 makes the x86_64 installer) and OUTDIR/NAME/product.wxs (wixl). The choice depends only on what is installed, so
two runs on one machine give the same sets. Usage: make_sets.py OUTDIR [NAME...]
"""
import os
import shutil
import subprocess
import sys

MB = 1 << 20
HERE = os.path.dirname(os.path.abspath(__file__))
PE = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
BAD = set('<>:"|?*\\')


def files(roots, keep, low=1, high=MB):
    found = []
    for root in roots:
        for folder, dirs, names in os.walk(root):
            dirs.sort()
            for name in sorted(names):
                p = os.path.join(folder, name)
                if os.path.islink(p) or not os.path.isfile(p) or BAD & set(name) or not keep(p):
                    continue
                if low <= os.path.getsize(p) <= high:
                    found.append(p)
    return found


def take(paths, limit_bytes=None, limit_files=None):
    out, total = [], 0
    for p in paths:
        if limit_files is not None and len(out) >= limit_files:
            break
        s = os.path.getsize(p)
        if limit_bytes is not None and total + s > limit_bytes:
            continue
        out.append(p)
        total += s
    return out


def sets():
    pe = files([PE], lambda p: p.endswith((".dll", ".exe", ".sys", ".drv", ".ocx", ".cpl")))
    texts = files(["/usr/share/doc"], lambda p: os.path.basename(p) == "copyright")
    html = files(["/usr/share/doc"], lambda p: p.endswith((".html", ".htm", ".css", ".js")), high=4 * MB)
    icons = files(["/usr/share/icons", "/usr/share/pixmaps"],
                  lambda p: p.lower().endswith((".png", ".svg", ".ico", ".xpm", ".gif")))
    small = files(["/usr/include", "/usr/share/doc", "/usr/share/icons", "/usr/share/pixmaps"],
                  lambda p: not p.endswith((".gz", ".xz", ".bz2")), high=16 << 10)
    return {
        "programs": take(pe, 36 * MB) + take(texts, 8 * MB),
        "product": take(pe, 120 * MB) + take(html, 20 * MB) + take(icons, 20 * MB)
        + take(texts, 10 * MB),
        "small": take(small, limit_files=10000),
    }


def write_nsi(path, name):
    with open(path, "w") as f:
        f.write(f"""Unicode true
SetCompressor /SOLID lzma
Name "Bench {name}"
!ifdef AMD64
Target amd64-unicode
OutFile "nsis64-setup.exe"
!else
OutFile "nsis-setup.exe"
!endif
InstallDir "$PROGRAMFILES64\\Bench {name}"
RequestExecutionLevel admin
SilentInstall silent
Section
  SetOutPath "$INSTDIR"
  File /r "corpus\\*"
SectionEnd
""")


def main():
    out = sys.argv[1]
    want = sys.argv[2:] or ["programs", "product", "small"]
    chosen = sets()
    for name in want:
        d = os.path.join(out, name)
        stamp = os.path.join(d, "set.stamp")
        seen = set()  # Windows does not tell names apart by letter case
        paths = [p for p in chosen[name] if not (p.lower() in seen or seen.add(p.lower()))]
        key = f"{len(paths)} {sum(os.path.getsize(p) for p in paths)}"
        if os.path.exists(stamp) and open(stamp).read() == key:
            print(f"{name}: {key} (kept)")
            continue
        shutil.rmtree(d, ignore_errors=True)
        for p in paths:
            dest = os.path.join(d, "corpus", p.lstrip("/"))
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copyfile(p, dest)
        with open(os.path.join(d, "kestrel.toml"), "w") as f:
            f.write(f'displayname = "Bench {name}"\nexename = "bench.exe"\n'
                    f'installfolder = "Bench {name}"\n[[files]]\nsource = "corpus"\n')
        write_nsi(os.path.join(d, "setup.nsi"), name)
        subprocess.run([sys.executable, os.path.join(HERE, "make_testset.py"), "--wxs", d], check=True)
        open(stamp, "w").write(key)
        print(f"{name}: {key}")


if __name__ == "__main__":
    main()
