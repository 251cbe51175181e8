#!/usr/bin/env python3
"""Builds the benchmark corpus from files already on this machine.

Three kinds of content, as a setup package carries them: Windows executables and libraries (the
Wine builds), text (licences, documentation, manual pages unpacked) and images. The choice is
deterministic for a given machine. Usage: make_corpus.py OUTDIR
"""
import gzip
import os
import random
import re
import shutil
import sys

MB = 1 << 20
TARGETS = {"pe": 24 * MB, "text": 8 * MB, "images": 6 * MB}
STAMP = "corpus v1 " + " ".join(f"{k}={v}" for k, v in sorted(TARGETS.items()))


def walk(roots, keep, min_size=2048, max_size=8 * MB):
    """Regular files under `roots` (recursively) whose path passes `keep`, sorted."""
    found = set()
    for root in roots:
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                if not keep(path) or os.path.islink(path) or not os.path.isfile(path):
                    continue
                if min_size <= os.path.getsize(path) <= max_size:
                    found.add(path)
    return sorted(found)


def pe_candidates():
    roots = ["/usr/lib/x86_64-linux-gnu/wine", "/usr/lib/i386-linux-gnu/wine"]
    exts = (".dll", ".exe", ".sys", ".drv", ".ocx", ".cpl")
    return [(p, None) for p in walk(roots, lambda p: p.lower().endswith(exts))]


def text_candidates():
    def is_doc(p):
        name = os.path.basename(p)
        return not p.endswith(".gz") and (
            "/common-licenses/" in p or name.startswith("README") or name == "copyright"
            or name.endswith((".txt", ".html")))
    plain = walk(["/usr/share/common-licenses", "/usr/share/doc"], is_doc, min_size=1024)
    man = walk([f"/usr/share/man/man{s}" for s in "1358"], lambda p: p.endswith(".gz"), min_size=1024)
    return [(p, None) for p in plain] + [(p, "gunzip") for p in man]


def image_candidates():
    exts = (".png", ".jpg", ".jpeg", ".gif", ".ico", ".bmp")
    return [(p, None) for p in walk(["/usr/share", "/usr/lib"], lambda p: p.lower().endswith(exts),
                                    min_size=1024)]


def safe_name(index, path):
    base = re.sub(r"[^A-Za-z0-9._-]", "_", os.path.basename(path))
    if base.endswith(".gz"):
        base = base[:-3]
    return f"{index:05d}_{base}"


def build(outdir):
    stamp_path = os.path.join(outdir, "STAMP")
    if os.path.exists(stamp_path) and open(stamp_path).read().strip() == STAMP:
        print(f"corpus: {outdir} is ready")
        return
    shutil.rmtree(outdir, ignore_errors=True)
    sources = {"pe": pe_candidates(), "text": text_candidates(), "images": image_candidates()}
    for kind, candidates in sources.items():
        rng = random.Random(20240601)
        rng.shuffle(candidates)
        folder = os.path.join(outdir, kind)
        os.makedirs(folder)
        total = 0
        count = 0
        for path, how in candidates:
            if total >= TARGETS[kind]:
                break
            try:
                if how == "gunzip":
                    with gzip.open(path, "rb") as f:
                        data = f.read()
                else:
                    with open(path, "rb") as f:
                        data = f.read()
            except (OSError, EOFError):
                continue
            with open(os.path.join(folder, safe_name(count, path)), "wb") as f:
                f.write(data)
            total += len(data)
            count += 1
        print(f"corpus: {kind}: {count} files, {total / MB:.1f} MB")
    with open(stamp_path, "w") as f:
        f.write(STAMP + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py OUTDIR")
    build(sys.argv[1])
