#!/usr/bin/env python3
"""Damages a setup program built by kestrel-pack in one chosen way, for the failure scenarios.

usage: patchpkg.py EXE marker INDEX     the first block of file INDEX loses its marker
       patchpkg.py EXE readfail INDEX   file INDEX points at a block whose payload runs past the
                                        end of the file (a package read failure)
       patchpkg.py EXE filecount N      the directory claims N files
       patchpkg.py EXE rename INDEX NAME  file INDEX is stored under NAME
       patchpkg.py EXE offset           prints packageoffset (the size of the program part)
       patchpkg.py EXE flip OFFSET      flips one bit of the byte OFFSET bytes into the package
       patchpkg.py EXE cut N            cuts the last N bytes off the file
       patchpkg.py EXE certentry        prints the PE certificate-table entry: address size
       patchpkg.py EXE uninstcopy OUT   writes the uninstaller copy as an installation would
       patchpkg.py EXE codec N          a solid package names codec N (one this program lacks)
       patchpkg.py EXE oldreader        a solid package as an older setup program sees it: the
                                        solid stream's and directory's items under unknown tags

marker, readfail, filecount, rename, codec and oldreader store the package checksum again, so the engine meets the damage
(a package built that way); flip and cut leave it, as a damaged download would.
"""
import struct
import sys
import zlib

CONFIG = 12408
RECORD = 6232
RESERVED = 11628  # the record's reserved tail: the extension
TAG_CHECKSUM = 4
TAG_SOLID_DIRECTORY = 6
TAG_SOLID_STREAM = 7


def cert_entry(data):
    """((address, size), entry offset, CheckSum offset) of a PE file's certificate entry, or None."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    lfanew = struct.unpack_from("<I", data, 0x3C)[0]
    if lfanew + 24 + 2 > len(data) or data[lfanew : lfanew + 4] != b"PE\0\0":
        return None
    opt = lfanew + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (112 if magic == 0x20B else 96)
    if dirs + 40 > len(data):
        return None
    return struct.unpack_from("<II", data, dirs + 32), dirs + 32, opt + 64


def package_end(data):
    """Where the record ends: in front of a certificate table that ends the file."""
    found = cert_entry(data)
    if found:
        (address, size) = found[0]
        end = address + size
        if address and size and end <= len(data) and len(data) - end < 8 and not any(data[end:]):
            return address
    return len(data)


def refresh_checksum(data, end):
    cfg = end - CONFIG
    ext = cfg + RESERVED
    if data[ext : ext + 4] != b"KXT1":
        return
    length = struct.unpack_from("<H", data, ext + 4)[0]
    at = ext + 6
    while at < ext + 6 + length and data[at] != 0:
        tag, n = data[at], struct.unpack_from("<H", data, at + 1)[0]
        if tag == TAG_CHECKSUM:
            packageoffset = struct.unpack_from("<i", data, cfg + 28)[0]
            crc = zlib.crc32(bytes(data[packageoffset:cfg]))
            crc = zlib.crc32(bytes(data[cfg : cfg + RESERVED]), crc)
            struct.pack_into("<IQ", data, at + 3, crc, cfg - packageoffset)
        at += 3 + n
    struct.pack_into("<I", data, ext + 6 + length, zlib.crc32(bytes(data[ext : ext + 6 + length])))


def ext_items(data, cfg):
    ext = cfg + RESERVED
    items = {}
    if data[ext : ext + 4] != b"KXT1":
        return items
    length = struct.unpack_from("<H", data, ext + 4)[0]
    if zlib.crc32(bytes(data[ext : ext + 6 + length])) != struct.unpack_from("<I", data, ext + 6 + length)[0]:
        return items
    at = ext + 6
    while at < ext + 6 + length and data[at] != 0:
        tag, n = data[at], struct.unpack_from("<H", data, at + 1)[0]
        items.setdefault(tag, bytes(data[at + 3 : at + 3 + n]))
        at += 3 + n
    return items


def uninstaller_copy(data, cfg, packageoffset):
    """The program part; the stub's signature fields restored, or a foreign entry cleared."""
    copy = bytearray(data[:packageoffset])
    (address, size), entry_at, checksum_at = cert_entry(copy)
    stub = ext_items(data, cfg).get(3)
    if stub:
        a, n, c = struct.unpack("<III", stub)
        struct.pack_into("<I", copy, checksum_at, c)
        struct.pack_into("<II", copy, entry_at, a, n)
    elif address or size:
        struct.pack_into("<I", copy, checksum_at, 0)
        struct.pack_into("<II", copy, entry_at, 0, 0)
    return copy


def main():
    path, what = sys.argv[1], sys.argv[2]
    data = bytearray(open(path, "rb").read())
    if what == "certentry":  # any PE file, with or without a package
        found = cert_entry(data)
        print("%d %d" % found[0] if found else "none")
        return
    end = package_end(data)
    cfg = end - CONFIG
    packageoffset = struct.unpack_from("<i", data, cfg + 28)[0]
    packageend = struct.unpack_from("<i", data, cfg + 10600)[0]
    count = struct.unpack_from("<i", data, packageend - 4)[0]

    def record(index):
        return packageend - 8 - RECORD * (count - index)

    if what == "offset":
        print(packageoffset)
        return
    if what == "uninstcopy":
        open(sys.argv[3], "wb").write(uninstaller_copy(data, cfg, packageoffset))
        return
    if what in ("codec", "oldreader"):
        ext = cfg + RESERVED
        length = struct.unpack_from("<H", data, ext + 4)[0]
        at = ext + 6
        while at < ext + 6 + length and data[at] != 0:
            tag, n = data[at], struct.unpack_from("<H", data, at + 1)[0]
            if what == "codec" and tag == TAG_SOLID_STREAM:
                data[at + 3 + 1] = int(sys.argv[3])
            if what == "oldreader" and tag in (TAG_SOLID_DIRECTORY, TAG_SOLID_STREAM):
                data[at] = 0x60 + tag
            at += 3 + n
    elif what == "marker":
        rec = record(int(sys.argv[3]))
        dataoffset = struct.unpack_from("<q", data, rec + 6184)[0]
        data[packageoffset + dataoffset] = 0x42
    elif what == "readfail":
        rec = record(int(sys.argv[3]))
        # a header 20 bytes before the record's end (in its reserved tail) announcing a payload
        # that reaches past the end of the file, behind a certificate table too
        at = end - 20 - 12
        payload = (len(data) - at - 12 + 64) // 8 * 8
        assert payload <= 65536
        struct.pack_into("<BBxxIBxxx", data, at, 0x43, 0, payload * 8, 0)
        struct.pack_into("<q", data, rec + 6184, at - packageoffset)
    elif what == "rename":
        rec = record(int(sys.argv[3]))
        name = sys.argv[4].encode("utf-16-le")
        data[rec + 8:rec + 8 + 2048] = name + bytes(2048 - len(name))
    elif what == "filecount":
        struct.pack_into("<i", data, packageend - 4, int(sys.argv[3]))
    elif what == "flip":
        data[packageoffset + int(sys.argv[3])] ^= 0x01
    elif what == "cut":
        del data[len(data) - int(sys.argv[3]) :]
    else:
        sys.exit("unknown change " + what)
    if what in ("marker", "readfail", "filecount", "rename", "codec", "oldreader"):
        refresh_checksum(data, end)
    open(path, "wb").write(bytes(data))


if __name__ == "__main__":
    main()
