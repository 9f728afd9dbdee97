#!/usr/bin/env python3
"""Generates a small synthetic game directory of the real game's shape and can publish it.

    korvina-samplegame.py GAME_DIR [--revision 1|2] [--game-exe EXE]
                          [--publish KORVINA_PUBLISH --host-dir DIR [--sign-key KEY]]

GAME_DIR must not exist or be empty. Revision 1 holds nested plain files, a "gta_sa.exe"
stand-in, an audio file big enough to travel in several parts (with the small part size this
script publishes with), IMG archives of a few hundred elements in the static-header layout
the launcher keeps its archives in, and an archive with an excluded name ("cuts.img", a
standard version 2 archive that the launcher treats as a plain file). Revision 2 changes,
adds and removes files, a directory and IMG elements, for update demos. The content is
deterministic: the same revision always has the same bytes. --game-exe puts a real program
in place of both game programs, for a launcher that really starts them (under wine).

With --publish the directory is published into DIR with korvina-publish (DIR/launcher is
then the file host's tree); publishing revision 2 into the DIR of revision 1 updates it.
"""

import argparse
import os
import random
import struct
import subprocess
import sys

SECTOR = 2048
STATIC_DIRECTORY_SECTORS = 200
PLACEHOLDER = b"v2staticHeader.v2sh"
# Small enough that the sample's audio file goes in several parts, so the part path is shown.
AUDIO_PART_SIZE = 262144


def noise(seed, size):
    return random.Random(seed).getrandbits(8 * size).to_bytes(size, "little") if size else b""


def text_lines(seed, count, words):
    rng = random.Random(seed)
    return "".join(" ".join(rng.choice(words) for _ in range(rng.randint(3, 9))) + "\n"
                   for _ in range(count)).encode("ascii")


def entry(offset, sectors, name):
    encoded = name.encode("ascii")
    assert len(encoded) <= 23 and " " not in name
    return struct.pack("<IHH24s", offset, sectors, 0, encoded)


def pack(head, elements, names, first):
    """The head, one entry per name, zeros up to sector `first`, then each element's data from
    there on in the given order, padded with zeros to whole sectors."""
    directory = list(head)
    data = []
    sector = first
    for name in names:
        payload = elements[name]
        sectors = max(1, -(-len(payload) // SECTOR))
        directory.append(entry(sector, sectors, name))
        data.append(payload + b"\0" * (sectors * SECTOR - len(payload)))
        sector += sectors
    directory = b"".join(directory)
    return directory + b"\0" * (first * SECTOR - len(directory)) + b"".join(data)


def static_header_archive(elements):
    """The launcher's own archive layout: "V2SH", the count with the placeholder entry, the
    elements sorted by name, a 200-sector directory area and the data packed back to back from
    sector 200 in directory order, every element padded with zeros to whole sectors. This is
    exactly what the launcher's rebuild writes, so a synchronised copy equals it byte for byte.
    """
    names = sorted(elements)
    assert len(names) + 1 <= STATIC_DIRECTORY_SECTORS * SECTOR // 32
    head = [b"V2SH", struct.pack("<i", len(names) + 1), entry(0, 0, PLACEHOLDER.decode())]
    return pack(head, elements, names, STATIC_DIRECTORY_SECTORS)


def standard_archive(elements):
    """A standard version 2 archive ("VER2"), as the game ships it: directory, then data."""
    names = list(elements)
    first = -(-(8 + 32 * len(names)) // SECTOR)
    return pack([b"VER2", struct.pack("<I", len(names))], elements, names, first)


def archive_elements(seed, count, kinds):
    rng = random.Random(seed)
    elements = {}
    for i in range(count):
        kind = kinds[i % len(kinds)]
        name = "%s_%03d.%s" % (kind[0], i, kind[1])
        # Mostly one to three sectors, the odd element not a whole number of sectors.
        size = rng.choice((SECTOR, SECTOR, 2 * SECTOR, 3 * SECTOR - 100, 700))
        elements[name] = noise(seed * 1000 + i, size)
    return elements


WORDS = ["objs", "cars", "peds", "tex", "lod", "road", "grove", "vinewood", "docks", "1", "0",
         "255", "rebel", "sunrise", "ls", "sf", "lv", "wheel", "door", "col"]


def revision_one():
    files = {
        "gta_sa.exe": b"MZ" + noise(1, 96 * 1024 - 2),
        "bin/release/korvina.exe": b"MZ" + noise(2, 32 * 1024 - 2),
        "data/gta.dat": text_lines(3, 120, WORDS),
        "data/default.ide": text_lines(4, 200, WORDS),
        "data/maps/la/lan.ipl": text_lines(5, 300, WORDS),
        "data/maps/sf/sfn.ipl": text_lines(6, 250, WORDS),
        "data/maps/country/countn2.ipl": text_lines(7, 180, WORDS),
        "data/legacy/old.ide": text_lines(8, 40, WORDS),
        "text/american.gxt": noise(9, 40 * 1024),
        "models/generic/vehicle.txd": noise(10, 150 * 1024),
        "anim/ped.ifp": noise(11, 120 * 1024),
        # An excluded archive name: listed and fetched as a plain file, never converted.
        "anim/cuts.img": standard_archive(archive_elements(12, 20, [("cut", "dat")])),
        # Several parts of AUDIO_PART_SIZE; ".dat" under audio/ is a plain file.
        "audio/sfx/genrl": noise(13, 700 * 1024),
        "audio/config/banks.dat": noise(14, 8 * 1024),
        "audio/config/eventvol.txt": text_lines(15, 30, WORDS),
    }
    gta3 = archive_elements(20, 300, [("veh", "dff"), ("veh", "txd"), ("map", "col"),
                                      ("ped", "dff")])
    interior = archive_elements(21, 120, [("int", "dff"), ("int", "txd")])
    return files, gta3, interior


def revision_two():
    files, gta3, interior = revision_one()
    files["data/gta.dat"] = text_lines(103, 125, WORDS)
    files["audio/sfx/genrl"] = files["audio/sfx/genrl"][:300000] + noise(113, 420 * 1024)
    files["data/maps/la/grove_street.ipl"] = text_lines(116, 90, WORDS)
    del files["text/american.gxt"]
    del files["data/legacy/old.ide"]  # and with it the directory data/legacy
    names = sorted(gta3)
    for i, name in enumerate(names[10:15]):
        # The last one grows by a sector, so it no longer fits where it was.
        gta3[name] = noise(120 + i, len(gta3[name]) + (SECTOR if i == 4 else 0))
    del gta3[names[40]]
    del gta3[names[41]]
    for i in range(3):
        gta3["new_%03d.dff" % i] = noise(130 + i, 2 * SECTOR)
    return files, gta3, interior


def write_game(game_dir, revision, game_exe=None):
    files, gta3, interior = revision_one() if revision == 1 else revision_two()
    if game_exe:
        with open(game_exe, "rb") as program:
            files["gta_sa.exe"] = files["bin/release/korvina.exe"] = program.read()
    files["models/gta3.img"] = static_header_archive(gta3)
    files["models/gta_int.img"] = static_header_archive(interior)
    for path, data in sorted(files.items()):
        target = os.path.join(game_dir, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(data)
    return sum(len(data) for data in files.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("game_dir")
    parser.add_argument("--revision", type=int, choices=(1, 2), default=1)
    parser.add_argument("--game-exe", help="a program to stand in for both game programs")
    parser.add_argument("--publish", metavar="KORVINA_PUBLISH", help="korvina-publish executable")
    parser.add_argument("--host-dir", help="where korvina-publish writes the file host's tree")
    parser.add_argument("--sign-key", help="the release's private key (korvina-publish --sign-key)")
    options = parser.parse_args()
    if options.publish and not options.host_dir:
        parser.error("--publish needs --host-dir")

    if os.path.exists(options.game_dir) and os.listdir(options.game_dir):
        sys.exit("%s exists and is not empty" % options.game_dir)
    os.makedirs(options.game_dir, exist_ok=True)
    total = write_game(options.game_dir, options.revision, options.game_exe)
    print("sample game revision %d: %d bytes in %s" % (options.revision, total, options.game_dir))

    if options.publish:
        signing = ["--sign-key", options.sign_key] if options.sign_key else []
        result = subprocess.run([options.publish, "--audio-part-size", str(AUDIO_PART_SIZE)]
                                + signing + [options.game_dir, options.host_dir])
        if result.returncode != 0:
            sys.exit("korvina-publish failed with %d" % result.returncode)
    return 0


if __name__ == "__main__":
    sys.exit(main())
