#!/usr/bin/env python3
"""Writes the seed archives of fuzz_zip into seeds/ (small, one feature each).

Run from anywhere: python3 tests/fuzz/zip/make_seeds.py
"""
import io
import os
import struct
import zipfile
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
DATE, TIME = ((2021 - 1980) << 9) | (6 << 5) | 15, (12 << 11) | (34 << 5) | 28


def raw_deflate(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def entry(name, data, method=8, flag=0, made_by=20, attr=0, descriptor=None):
    """descriptor: None, 'sig' or 'nosig'."""
    return dict(name=name, data=data, method=method, flag=flag, made_by=made_by, attr=attr,
                descriptor=descriptor)


def build(entries, prefix=b"", comment=b""):
    body, central = b"", b""
    for e in entries:
        name, data = e["name"], e["data"]
        stored = raw_deflate(data) if e["method"] == 8 else data
        crc = zlib.crc32(data)
        flag = e["flag"] | (8 if e["descriptor"] else 0)
        sizes = (0, 0, 0) if e["descriptor"] else (crc, len(stored), len(data))
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flag, e["method"], TIME, DATE,
                            *sizes, len(name), 0) + name + stored
        if e["descriptor"] == "sig":
            body += struct.pack("<I", 0x08074B50)
        if e["descriptor"]:
            body += struct.pack("<III", crc, len(stored), len(data))
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e["made_by"], 20, flag,
                               e["method"], TIME, DATE, crc, len(stored), len(data), len(name),
                               0, 0, 0, 0, e["attr"], offset) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                      len(body), len(comment))
    return prefix + body + central + end + comment


def python_zip():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("dir/", b"")
        z.writestr("dir/a.txt", b"hello hello hello\n" * 20)
        z.writestr(zipfile.ZipInfo("stored.bin"), bytes(range(64)))
    return out.getvalue()


def overlapping(copies=20):
    """The executable and central records that all point at one deflated
    entry of zeros: an archive that would unpack to far more than it holds."""
    archive = build([entry(b"pallorwind-win", b"#!/bin/sh\n"), entry(b"zeros", bytes(1 << 16))])
    count, size, offset = struct.unpack("<HII", archive[-12:-2])
    central = archive[offset:offset + size]
    central += central[46 + len(b"pallorwind-win"):] * copies
    return archive[:offset] + central + struct.pack(
        "<IHHHHIIH", 0x06054B50, 0, 0, count + copies, count + copies, len(central), offset, 0)


def keeping_folders(entries):
    """An archive whose length makes fuzz_zip extract it as the updater does
    (folders kept, the updater's buffer): a comment pads it to 4n + 1 bytes."""
    length = len(build(entries))
    return build(entries, comment=b"-" * ((1 - length) % 4))


SEEDS = {
    "empty.zip": build([]),
    "python.zip": python_zip(),
    "stored-and-deflated.zip": build([entry(b"s.txt", b"stored data", 0),
                                      entry(b"d.txt", b"deflated " * 30)]),
    "descriptors.zip": build([entry(b"sig.txt", b"with signature " * 5, descriptor="sig"),
                              entry(b"nosig.txt", b"no signature", 0, descriptor="nosig")]),
    "stub-and-comment.zip": build([entry(b"a.txt", b"after a stub")], prefix=b"MZ" + b"\0" * 30,
                                  comment=b"an archive comment"),
    "names.zip": build([entry(b"sub\\dir\\back.txt", b"1"), entry(b"C:/drive.txt", b"2", 0),
                        entry(b"/abs.txt", b"3", 0), entry(b"\x81ber.txt", b"4", 0),
                        entry("caf\u00e9.txt".encode(), b"5", 0, flag=0x800),
                        entry(b"../up.txt", b"6", 0), entry(b"folder/", b"", 0, attr=0x10)]),
    "unix-modes.zip": build([entry(b"bin/tool", b"#!/bin/sh\n", 0, made_by=0x31E,
                                   attr=0o100755 << 16),
                             entry(b"ro.txt", b"read only", 0, attr=1),
                             entry(b"d/", b"", 0, made_by=0x31E, attr=(0o40000 << 16) | 0x10)]),
    # names that meet the links fuzz_zip plants in its scratch folder
    "links.zip": keeping_folders([entry(b"rel/planted.txt", b"1", 0), entry(b"abs/deep/planted.txt", b"2"),
                        entry(b"gone/planted.txt", b"3", 0), entry(b"file", b"4", 0),
                        entry(b"hard", b"5", 0), entry(b"gone", b"6", 0),
                        entry(b"abs/", b"", 0, made_by=0x31E, attr=(0o40777 << 16) | 0x10),
                        entry(b"l", b"../victim", 0, made_by=0x31E, attr=0o120777 << 16),
                        entry(b"l/planted.txt", b"7", 0)]),
    "overlap.zip": overlapping(),
    "odd-entries.zip": build([entry(b"secret", b"x", 8, flag=1), entry(b"m12", b"x", 12),
                              entry(b"dup", b"first"), entry(b"dup", b"second", 0)]),
}

if __name__ == "__main__":
    os.makedirs(HERE, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
