#!/usr/bin/env python3
"""Damages a setup program built by kestrel-pack in one chosen way, for the failure scenarios.

usage: patchpkg.py EXE marker INDEX     the first block of file INDEX loses its marker
       patchpkg.py EXE readfail INDEX   file INDEX points at a block whose payload runs past the
                                        end of the file (a package read failure)
       patchpkg.py EXE filecount N      the directory claims N files
       patchpkg.py EXE rename INDEX NAME  file INDEX is stored under NAME
       patchpkg.py EXE offset           prints packageoffset (the size of the program part)
"""
import struct
import sys

CONFIG = 12408
RECORD = 6232


def main():
    path, what = sys.argv[1], sys.argv[2]
    data = bytearray(open(path, "rb").read())
    cfg = len(data) - CONFIG
    packageoffset = struct.unpack_from("<i", data, cfg + 28)[0]
    packageend = struct.unpack_from("<i", data, cfg + 10600)[0]
    count = struct.unpack_from("<i", data, packageend - 4)[0]

    def record(index):
        return packageend - 8 - RECORD * (count - index)

    if what == "offset":
        print(packageoffset)
        return
    if what == "marker":
        rec = record(int(sys.argv[3]))
        dataoffset = struct.unpack_from("<q", data, rec + 6184)[0]
        data[packageoffset + dataoffset] = 0x42
    elif what == "readfail":
        rec = record(int(sys.argv[3]))
        # a header 20 bytes before the end (in the record's reserved tail) announcing 64 bytes
        at = len(data) - 20 - 12
        struct.pack_into("<BBxxIBxxx", data, at, 0x43, 0, 512, 0)
        struct.pack_into("<q", data, rec + 6184, at - packageoffset)
    elif what == "rename":
        rec = record(int(sys.argv[3]))
        name = sys.argv[4].encode("utf-16-le")
        data[rec + 8:rec + 8 + 2048] = name + bytes(2048 - len(name))
    elif what == "filecount":
        struct.pack_into("<i", data, packageend - 4, int(sys.argv[3]))
    else:
        sys.exit("unknown change " + what)
    open(path, "wb").write(bytes(data))


if __name__ == "__main__":
    main()
