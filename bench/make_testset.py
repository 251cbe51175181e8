#!/usr/bin/env python3
"""Builds the install benchmark's mixed test set and the WiX source of an MSI of the same files.

The set is every 16th file, in path order, of a mixed corpus gathered from packages on this
machine: Windows executables and libraries (Wine's PE builds), texts and HTML (package
documentation, licences), icons and pictures, and jars where there are any. The choice depends
only on what is installed, so two runs on one machine give the same set.

Usage: make_testset.py OUTDIR [STRIDE]
Writes OUTDIR/corpus/<kind>/..., OUTDIR/kestrel.toml and OUTDIR/product.wxs (run wixl in OUTDIR).
       make_testset.py --wxs OUTDIR     writes only OUTDIR/product.wxs for OUTDIR/corpus.
"""
import hashlib
import os
import shutil
import sys
import uuid
from xml.sax.saxutils import quoteattr

MAX_FILE = 1 << 20  # larger files would make one kind (big DLLs) the whole set
BAD = set('<>:"|?*\\')

KINDS = [
    ("pe", ["/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
            "/usr/lib/x86_64-linux-gnu/wine/i386-windows"],
     lambda p: True),
    ("text", ["/usr/share/doc", "/usr/share/common-licenses"],
     lambda p: not p.endswith((".gz", ".xz", ".bz2"))),
    ("icons", ["/usr/share/icons", "/usr/share/pixmaps"],
     lambda p: p.lower().endswith((".png", ".svg", ".ico", ".xpm", ".bmp", ".gif"))),
    ("jars", ["/usr/share/java"], lambda p: p.endswith(".jar")),
]


def plain_name(name):
    # names Windows can hold as they are
    return name and not (set(name) & BAD) and name[-1] not in ". " and name.isprintable()


def gather():
    found = []
    for kind, roots, keep in KINDS:
        for root in roots:
            if not os.path.isdir(root):
                continue
            for folder, dirs, names in os.walk(root):
                dirs.sort()
                for name in sorted(names):
                    path = os.path.join(folder, name)
                    if os.path.islink(path) or not os.path.isfile(path) or not keep(path):
                        continue
                    rel = os.path.relpath(path, root)
                    if not all(plain_name(part) for part in rel.split(os.sep)):
                        continue
                    if os.path.getsize(path) > MAX_FILE:
                        continue
                    found.append((kind + "/" + os.path.basename(root) + "/" + rel, path))
    found.sort()
    return found


def guid(text):
    return str(uuid.uuid5(uuid.NAMESPACE_URL, "kestrel-ibench:" + text)).upper()


def write_wxs(out, corpus, name):
    files = []
    for folder, dirs, names in os.walk(corpus):
        dirs.sort()
        for n in sorted(names):
            files.append(os.path.relpath(os.path.join(folder, n), corpus))
    tree = {}
    for rel in files:
        node = tree
        for part in rel.split(os.sep)[:-1]:
            node = node.setdefault(part, {})
        node.setdefault("\0files", []).append(rel)
    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
             f'  <Product Id="{guid(name + ":product")}" Name={quoteattr(name)} Language="1033"'
             f' Version="1.0.0" Manufacturer="IBench" UpgradeCode="{guid(name + ":upgrade")}">',
             '    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>',
             '    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>',
             '    <Directory Id="TARGETDIR" Name="SourceDir">',
             '      <Directory Id="ProgramFilesFolder">',
             f'        <Directory Id="INSTALLDIR" Name={quoteattr(name)}>']
    comps = []
    counter = [0]

    def emit(node, indent):
        for rel in node.get("\0files", []):
            counter[0] += 1
            c = f"c{counter[0]}"
            comps.append(c)
            # wixl finds sources only by paths relative to where it runs: OUTDIR
            src = os.path.join("corpus", rel)
            lines.append(f'{indent}<Component Id="{c}" Guid="{guid(rel)}">'
                         f'<File Id="f{counter[0]}" Name={quoteattr(os.path.basename(rel))}'
                         f' Source={quoteattr(src)} KeyPath="yes"/></Component>')
        for part in sorted(k for k in node if k != "\0files"):
            counter[0] += 1
            lines.append(f'{indent}<Directory Id="d{counter[0]}" Name={quoteattr(part)}>')
            emit(node[part], indent + "  ")
            lines.append(f"{indent}</Directory>")

    emit(tree, " " * 10)
    lines += ['        </Directory>', '      </Directory>', '    </Directory>',
              '    <Feature Id="Main" Level="1">']
    lines += [f'      <ComponentRef Id="{c}"/>' for c in comps]
    lines += ['    </Feature>', '  </Product>', '</Wix>']
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def main():
    if sys.argv[1] == "--wxs":  # only the MSI source, for a corpus already in OUTDIR/corpus
        outdir = sys.argv[2]
        name = os.path.basename(os.path.normpath(outdir))
        write_wxs(os.path.join(outdir, "product.wxs"), os.path.join(outdir, "corpus"),
                  "IBench MSI " + name)
        return
    outdir = sys.argv[1]
    stride = int(sys.argv[2]) if len(sys.argv) > 2 else 16
    name = os.path.basename(os.path.normpath(outdir))
    corpus = os.path.join(outdir, "corpus")
    picked = gather()[::stride]
    # the main program the manifest names: setup registers it, so it must be in the set
    digest = hashlib.sha256("\n".join(["ibench.exe"] + [rel for rel, _ in picked])
                            .encode()).hexdigest()[:16]
    stamp = os.path.join(outdir, "testset.stamp")
    if os.path.exists(stamp) and open(stamp).read() == digest:
        return
    shutil.rmtree(outdir, ignore_errors=True)
    for rel, path in picked:
        dst = os.path.join(corpus, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(path, dst)
    with open(os.path.join(corpus, "ibench.exe"), "wb") as f:
        f.write(b"MZ" + bytes(62))
    with open(os.path.join(outdir, "kestrel.toml"), "w") as f:
        f.write(f'displayname = "IBench {name}"\nexename = "ibench.exe"\n'
                f'installfolder = "IBench\\\\{name}"\n[[files]]\nsource = "corpus"\n')
    write_wxs(os.path.join(outdir, "product.wxs"), corpus, "IBench MSI " + name)
    with open(stamp, "w") as f:
        f.write(digest)


if __name__ == "__main__":
    main()
