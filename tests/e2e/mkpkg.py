#!/usr/bin/env python3
"""Makes a test setup program: a stub with an optional licence text and a Configuration record
appended (no files). Enough for the start-up paths of setup.exe.

usage: mkpkg.py STUB OUT [--name N] [--version V] [--installfolder F] [--exename E]
                         [--license FILE] [--no-marker]
"""
import argparse
import struct

CONFIG_SIZE = 12408


def short(buf, offset, size, text):
    data = text.encode("cp1252")
    assert len(data) <= min(size - 1, 255), text
    buf[offset] = len(data)
    buf[offset + 1 : offset + 1 + len(data)] = data


def wide(buf, offset, text):
    data = text.encode("utf-16-le")
    assert len(data) <= 2048
    buf[offset : offset + len(data)] = data


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("stub")
    ap.add_argument("out")
    ap.add_argument("--name", default="Demo App")
    ap.add_argument("--version", default="1.0")
    ap.add_argument("--installfolder", default="\\Demo App")
    ap.add_argument("--exename", default="demo.exe")
    ap.add_argument("--license")
    ap.add_argument("--no-marker", action="store_true")
    a = ap.parse_args()

    stub = open(a.stub, "rb").read()
    licence = open(a.license, "rb").read() if a.license else b""
    cfg = bytearray(CONFIG_SIZE)
    if not a.no_marker:
        short(cfg, 0, 24, "Install Files Present")
    struct.pack_into("<ii", cfg, 24, 2, len(stub))  # reserved, packageoffset
    short(cfg, 2080, 256, a.exename)
    short(cfg, 2336, 65, a.version)
    short(cfg, 2402, 256, a.name)
    wide(cfg, 2660, a.installfolder)
    if a.license:
        cfg[10596] = 1
        struct.pack_into("<i", cfg, 10600, len(stub))
    with open(a.out, "wb") as f:
        f.write(stub + licence + bytes(cfg))


if __name__ == "__main__":
    main()
