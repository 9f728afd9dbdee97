#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_imgarchive: small version-2 and static-header archives, whole
and damaged. Run from the repository root; the files are committed, this only documents them."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "imgarchive")


def entry(offset, streaming, in_archive, name):
    return struct.pack("<IHH", offset, streaming, in_archive) + name.ljust(24, b"\0")[:24]


def archive(magic, entries, count=None, data=b""):
    head = magic + struct.pack("<i", len(entries) if count is None else count)
    return head + b"".join(entries) + data


def sectors(body, first_sector, blobs):
    """Directory bytes padded to first_sector, then blobs in whole sectors (the last unpadded)."""
    out = body.ljust(first_sector * 2048, b"\0")
    for i, blob in enumerate(blobs):
        out += blob if i == len(blobs) - 1 else blob.ljust((len(blob) + 2047) // 2048 * 2048, b"\0")
    return out


seeds = {
    "ver2_three": sectors(archive(b"VER2", [entry(1, 1, 0, b"a.dff"), entry(2, 1, 0, b"b.txd"),
                                            entry(3, 1, 0, b"with space.col")]),
                          1, [b"A" * 700, b"B" * 300, b"C" * 40]),
    "v2sh_small": sectors(archive(b"V2SH", [entry(0, 0, 0, b"v2staticHeader.v2sh"),
                                            entry(1, 1, 0, b"x.dff"), entry(2, 0, 0, b"empty.ifp")]),
                          1, [b"X" * 100]),
    "count_huge": archive(b"VER2", [entry(0, 0, 0, b"zero")], count=0x7FFFFFFF).ljust(100, b"\0"),
    "count_negative": archive(b"VER2", [entry(1, 1, 0, b"a")], count=-3),
    "offsets_past_end": archive(b"VER2", [entry(0xFFFFFFF0, 0xFFFF, 0, b"far"),
                                          entry(0xFFFFFFFF, 0, 0, b"empty.far"),
                                          entry(0, 1, 0, b"header")]),
    "overlapping": sectors(archive(b"VER2", [entry(1, 0xFFFF, 0, b"o%d" % i) for i in range(4)]),
                           1, [b"O" * 64]),
    "truncated": archive(b"VER2", [entry(1, 1, 0, b"one"), entry(2, 1, 0, b"two")])[:52],
    "full_name_field": sectors(archive(b"VER2", [entry(1, 1, 1, b"n" * 24),
                                                 entry(2, 2, 0, b"\xcf\xf0\xe8.dff")]),
                               1, [b"N" * 10, b"P" * 2100]),
}

os.makedirs(OUT, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(OUT, name + ".img"), "wb") as f:
        f.write(data)
