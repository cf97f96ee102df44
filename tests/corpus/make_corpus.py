#!/usr/bin/env python3
"""Writes the golden corpus of TZF pictures, byte by byte.

Each picture is described here by what it is made to exercise: a list of
literal pixels and runs (the generator packs the flag, command and literal
streams from it), or raw bytes for the files that are not pictures at all.
The expected pixels are not computed here: tests/corpus/corpus_expect (built
from corpus_expect.cpp in this folder) decodes every file with
the oracle decoder and writes NAME.png and expected.tsv.

Usage: make_corpus.py [--encoder TZFENC] [FOLDER]   (default: the folder of this script)

The enc_* files are a small made-up scene encoded by the project's encoder,
pictures as the encoder writes them; they are only rewritten when --encoder
names the tzfenc program, and otherwise kept as committed.

Writes FOLDER/NAME.tzf for every entry and FOLDER/manifest.tsv, one line
per file: NAME.tzf, the class the file is made to have, and what it covers.
"""

import os
import struct
import subprocess
import sys
import tempfile
import zlib

# The sixteen displacements (dx, dy), in command order.
DISPLACEMENTS = [
    (3, -3), (-4, -4), (-4, -2), (-2, -1), (0, -2), (-3, -1), (-1, -1), (0, -1),
    (0, -4), (-4, 0), (1, -1), (0, -3), (2, -1), (-2, -2), (-3, -3), (-4, -1),
]


class Rng:
    """A small deterministic generator, so the corpus is the same everywhere."""

    def __init__(self, seed):
        self.state = (seed * 2654435761 + 12345) & 0xFFFFFFFF

    def byte(self):
        self.state = (self.state * 1103515245 + 12345) & 0xFFFFFFFF
        return (self.state >> 16) & 0xFF

    def bytes(self, n):
        return bytes(self.byte() for _ in range(n))


def palette(seed):
    """1024 bytes: 256 entries of blue, green, red, 0."""
    rng = Rng(seed)
    out = bytearray()
    for i in range(256):
        out += bytes([rng.byte(), rng.byte(), rng.byte(), 0])
    return bytes(out)


def header(width, height, bits, flag_length, command_length, version=3, header_length=64,
           stream_offset=None, magic=b"TZF\0"):
    if stream_offset is None:
        stream_offset = 1088 if bits == 8 else 64
    h = bytearray(64)
    h[0:4] = magic
    struct.pack_into("<I", h, 4, version)
    struct.pack_into("<i", h, 8, header_length)
    struct.pack_into("<i", h, 12, width)
    struct.pack_into("<i", h, 16, height)
    struct.pack_into("<H", h, 24, bits & 0xFFFF)
    struct.pack_into("<i", h, 40, stream_offset)
    struct.pack_into("<I", h, 48, flag_length & 0xFFFFFFFF)
    struct.pack_into("<I", h, 52, command_length & 0xFFFFFFFF)
    # Bytes the reader does not interpret, set so that nothing relies on them
    # being zero.
    h[28:32] = b"\xA5\x5A\xC3\x3C"
    h[56:64] = b"corpus\0\0"
    return bytes(h)


def lit(values):
    """Literal pixels: a list of ints (8-bit) or of 3-byte bytes (24-bit)."""
    return [("lit", v) for v in values]


def run(index, length):
    assert 0 <= index < 16 and 3 <= length <= 18
    return [("run", index, length)]


def pack(ops, bits):
    """The flag, command and literal streams of a list of operations."""
    flag_bits = []
    commands = bytearray()
    literals = bytearray()
    for op in ops:
        if op[0] == "lit":
            flag_bits.append(0)
            v = op[1]
            literals += bytes([v]) if bits == 8 else bytes(v)
        else:
            flag_bits.append(1)
            commands.append(op[1] << 4 | (op[2] - 3))
    flags = bytearray((len(flag_bits) + 7) // 8)
    for i, b in enumerate(flag_bits):
        if b:
            flags[i // 8] |= 0x80 >> (i % 8)
    return bytes(flags), bytes(commands), bytes(literals)


def pixels_covered(ops, total):
    n = 0
    for op in ops:
        n += 1 if op[0] == "lit" else op[2]
    return n


def picture(width, height, bits, ops, pal_seed=1, flag_length=None, command_length=None,
            flags_extra=b"", commands_extra=b"", trailing=b"", version=3, check=True):
    """A whole picture. The ops must cover exactly width x height pixels
    unless check is False. flags_extra and commands_extra are bytes that lie
    inside the declared streams past what decoding consumes."""
    if check:
        assert pixels_covered(ops, width * height) >= width * height, (width, height)
    flags, commands, literals = pack(ops, bits)
    flags += flags_extra
    commands += commands_extra
    fl = len(flags) if flag_length is None else flag_length
    cl = len(commands) if command_length is None else command_length
    out = header(width, height, bits, fl, cl, version=version)
    if bits == 8:
        out += palette(pal_seed)
    return out + flags + commands + literals + trailing


def literal_values(n, bits, seed):
    rng = Rng(seed)
    if bits == 8:
        return [rng.byte() for _ in range(n)]
    return [rng.bytes(3) for _ in range(n)]


def few_values(n, bits, seed):
    """Literal pixels drawn from four values, so that runs are visible."""
    rng = Rng(seed)
    vals8 = [0x11, 0x80, 0xC3, 0xFE]
    vals24 = [b"\x10\x20\x30", b"\xF0\x80\x08", b"\x00\xFF\x7F", b"\xC0\xC0\x40"]
    return [(vals8 if bits == 8 else vals24)[rng.byte() & 3] for _ in range(n)]


def fill(ops, total, bits, seed):
    """Literals after the ops up to `total` pixels."""
    n = pixels_covered(ops, total)
    return ops + lit(literal_values(max(0, total - n), bits, seed))


CORPUS = []  # (name, class, description, bytes)


def add(name, cls, description, data):
    CORPUS.append((name, cls, description, data))


def build():
    for bits in (8, 24):
        b = str(bits)

        # Sizes: 1x1, odd widths (rows that need pad in a DIB), strips.
        add("ok_%s_1x1" % b, "ok", "1x1, one literal", picture(1, 1, bits, lit(literal_values(1, bits, 3))))
        for w, h in ((1, 6), (3, 5), (5, 4), (7, 3)):
            ops = lit(few_values(w * 2, bits, w)) + run(7, 3)
            ops = fill(ops, w * h, bits, w + 10)
            add("ok_%s_%dx%d" % (b, w, h), "ok",
                "width %d (odd row length), literals and a run one row back" % w,
                picture(w, h, bits, ops))
        # Tall strip, one pixel wide: every run's source lies in the same
        # column; dx != 0 moves it to neighbouring rows, (1, -1) points at the
        # pixel itself and (2, -1) ahead of it: not yet decoded, read as zero.
        ops = lit(literal_values(8, bits, 21))
        for k in range(16):
            ops += run(k, 3 + k % 4) + lit(literal_values(1, bits, 40 + k))
        ops = fill(ops, 96, bits, 22)
        add("ok_%s_strip_1x96" % b, "ok", "tall strip 1 wide, all 16 displacements", picture(1, 96, bits, ops))
        # Wide strip, one row high: every dy < 0 source lies before the
        # first pixel (zero) except where dx carries it back into the row.
        ops = lit(literal_values(5, bits, 23))
        for k in range(16):
            ops += run(k, 18) + lit(literal_values(2, bits, 60 + k))
        ops = fill(ops, 401, bits, 24)
        add("ok_%s_strip_401x1" % b, "ok", "wide strip 1 high, all 16 displacements", picture(401, 1, bits, ops))

        # Every displacement with its source inside the picture: four rows
        # of literals first, then one run per displacement.
        w, h = 9, 30
        ops = lit(literal_values(4 * w + 4, bits, 30))
        for k in range(16):
            ops += run(k, 3 + (k * 5) % 16) + lit(literal_values(1, bits, 80 + k))
        ops = fill(ops, w * h, bits, 31)
        add("ok_%s_disp_inside" % b, "ok", "all 16 displacements, sources inside the picture, 9 wide", picture(w, h, bits, ops))

        # Every displacement at the picture's start: a run from pixel 1,
        # whose sources lie before the first pixel (zero), or behind it for
        # (-4, 0), or not yet decoded.
        for k in range(16):
            w, h = 6, 4
            ops = lit(literal_values(1, bits, 100 + k)) + run(k, 18)
            ops = fill(ops, w * h, bits, 120 + k)
            dx, dy = DISPLACEMENTS[k]
            add("ok_%s_disp_edge_%02d" % (b, k), "ok",
                "displacement %d (%d,%d) run of 18 from pixel 1: sources before the first pixel" % (k, dx, dy),
                picture(w, h, bits, ops))

        # Runs of every length 3..18, sources close behind (repeating what
        # was just written) and one row back, across row ends.
        w, h = 7, 40
        ops = lit(few_values(w + 4, bits, 50))
        for length in range(3, 19):
            ops += run(9 if length % 2 else 7, length) + lit(few_values(1, bits, 200 + length))
        ops = fill(ops, w * h, bits, 51)
        add("ok_%s_run_lengths" % b, "ok", "runs of every length 3..18, 7 wide, across row ends", picture(w, h, bits, ops))

        # A run of 18 that starts 5 pixels before a row end and goes on in
        # the next row; and a run left open after the last row.
        w, h = 8, 5
        ops = lit(literal_values(w + 3, bits, 52)) + run(7, 18)
        n = pixels_covered(ops, 0)
        ops += lit(literal_values(w * h - n - 4, bits, 53)) + run(9, 18)
        add("ok_%s_run_across_rows" % b, "ok", "run across a row end, and a run open at the end", picture(w, h, bits, ops))

        # Streams declared longer than decoding consumes, the bytes present.
        w, h = 5, 5
        ops = lit(literal_values(6, bits, 54)) + run(7, 10) + run(3, 4)
        ops = fill(ops, w * h, bits, 55)
        add("ok_%s_streams_longer" % b, "ok",
            "flag and command streams declared 500 and 700 bytes, the unused bytes present",
            picture(w, h, bits, ops, flags_extra=Rng(56).bytes(499), commands_extra=Rng(57).bytes(698)))

        # Streams declared far longer than the file: the command and literal
        # streams start past the end of the data.
        w, h = 6, 3
        ops = lit(literal_values(3, bits, 58)) + run(9, 15)
        add("trunc_%s_streams_huge" % b, "truncated",
            "flag and command lengths near 4 GiB in a small file: commands and literals missing",
            picture(w, h, bits, ops, flag_length=0xFFFFFFF0, command_length=0xFFFFFF00))
        add("trunc_%s_streams_huge_all_runs" % b, "truncated",
            "flag and command lengths near 4 GiB, every flag bit a run: the commands are missing",
            header(w, h, bits, 0xFFFFFF00, 0xFFFFFF00) + (palette(2) if bits == 8 else b"") + b"\xFF\xFF\xFF")

        # Streams declared shorter than decoding uses: flags and commands
        # past the declared lengths read as zero (literals; command 0x00,
        # displacement 0, run 3), nothing is missing.
        w, h = 6, 6
        ops = lit(literal_values(8, bits, 60)) + run(7, 6) + lit(literal_values(3, bits, 61)) + run(13, 5) + run(6, 4)
        ops = fill(ops, w * h, bits, 62)
        flags, commands, literals = pack(ops, bits)
        data = header(w, h, bits, 1, 1) + (palette(3) if bits == 8 else b"")
        add("ok_%s_streams_shorter" % b, "ok",
            "flag and command streams declared 1 byte each, decoding takes more",
            data + flags[:1] + commands[:1] + literals + Rng(64).bytes(w * h * bits // 8))
        add("ok_%s_streams_empty" % b, "ok",
            "flag and command streams declared 0 bytes: all literals",
            header(w, h, bits, 0, 0) + (palette(4) if bits == 8 else b"") + bytes(literal_values(w * h, 8, 63)) * (bits // 8))

        # A complete picture to cut: literals, runs of several kinds.
        w, h = 7, 24
        ops = lit(literal_values(w + 5, bits, 70))
        for k in range(16):
            ops += run((k * 7) % 16, 3 + k % 6) + lit(literal_values(4, bits, 300 + k))
        ops = fill(ops, w * h, bits, 73)
        whole = picture(w, h, bits, ops)
        flags, commands, literals = pack(ops, bits)
        start = 1088 if bits == 8 else 64
        add("ok_%s_whole" % b, "ok", "the picture the trunc_%s_* files cut" % b, whole)
        add("ok_%s_trailing" % b, "ok", "the same with 300 bytes after the literal stream", whole + Rng(74).bytes(300))
        add("ok_%s_version2" % b, "ok", "the same with header version 2",
            picture(w, h, bits, ops, version=2))
        if bits == 8:
            add("trunc_8_in_colour_table", "truncated", "cut inside the colour table", whole[:600])
            add("trunc_8_after_colour_table", "truncated", "cut at the end of the colour table", whole[:1088])
        else:
            add("trunc_24_after_header", "truncated", "cut at the end of the header", whole[:64])
        add("trunc_%s_in_flags" % b, "truncated", "cut inside the flag stream",
            whole[:start + len(flags) // 2])
        add("trunc_%s_in_commands" % b, "truncated", "cut inside the command stream",
            whole[:start + len(flags) + len(commands) // 2])
        add("trunc_%s_in_literals" % b, "truncated", "cut inside the literal stream",
            whole[:start + len(flags) + len(commands) + len(literals) // 2 + 1])
        add("trunc_%s_in_first_flag" % b, "truncated", "cut after the first flag byte",
            whole[:start + 1])
        add("trunc_%s_last_literal_byte" % b, "truncated", "only the last literal byte missing", whole[:-1])

        # Missing size fields and the rest read as zero.
        add("fail_%s_width0" % b, "bad-size", "width 0", picture(0, 3, bits, [], check=False))
        add("fail_%s_height0" % b, "bad-size", "height 0", picture(3, 0, bits, [], check=False))
        add("fail_%s_width_negative" % b, "bad-size", "width -5", picture(-5, 3, bits, [], check=False))
        add("fail_%s_height_negative" % b, "bad-size", "height -2147483648",
            picture(3, -2147483648, bits, [], check=False))

    # Short headers: bytes missing from the header read as zero.
    add("trunc_24_header41", "truncated", "24-bit header of 41 bytes: no streams, all pixels missing",
        header(3, 2, 24, 9, 9)[:41])
    add("trunc_8_header42", "truncated", "8-bit header of 42 bytes: no colour table, all pixels missing",
        header(3, 2, 8, 9, 9)[:42])
    add("trunc_8_header63", "truncated", "8-bit header of 63 bytes", header(2, 2, 8, 1, 1)[:63])
    add("trunc_24_header63", "truncated", "24-bit header of 63 bytes", header(2, 2, 24, 1, 1)[:63])
    add("fail_8_header41", "not-tzf", "8-bit header of 41 bytes: stream offset reads as 64",
        header(3, 2, 8, 9, 9)[:41])
    add("fail_24_header40", "not-tzf", "24-bit header of 40 bytes: stream offset reads as 0",
        header(3, 2, 24, 9, 9)[:40])

    # Over the default limits (256 megapixels), refused before allocating.
    add("limit_8_65535x65535", "limit", "8-bit 65535x65535, header and colour table only",
        header(65535, 65535, 8, 100, 100) + palette(5))
    add("limit_8_65535x65535_header42", "limit", "8-bit 65535x65535 in 42 bytes",
        header(65535, 65535, 8, 100, 100)[:42])
    add("limit_8_65535x65535_header64", "limit", "8-bit 65535x65535 in 64 bytes",
        header(65535, 65535, 8, 100, 100))
    add("limit_24_20000x20000", "limit", "24-bit 20000x20000 with a few stream bytes",
        header(20000, 20000, 24, 4, 4) + b"\x00\x00\x00\x00\x77\x77\x77\x77" + Rng(6).bytes(30))
    add("limit_8_16384x16385", "limit", "8-bit 16384x16385, one row over 256 megapixels",
        header(16384, 16385, 8, 0, 0) + palette(7))
    add("limit_24_2147483647x2", "limit", "24-bit 2147483647x2",
        header(2147483647, 2, 24, 0, 0))

    # Not TZF pictures.
    add("nottzf_empty", "not-tzf", "empty file", b"")
    png = bytearray(b"\x89PNG\r\n\x1a\n")
    for kind, body in ((b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0)),
                       (b"IDAT", zlib.compress(b"\x00" + b"\x10\x20\x30" * 2 + b"\x00" + b"\x40\x50\x60" * 2)),
                       (b"IEND", b"")):
        png += struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    add("nottzf_png", "not-tzf", "a 2x2 PNG named .tzf", bytes(png))
    add("nottzf_random", "not-tzf", "3000 random bytes", Rng(8).bytes(3000))
    add("nottzf_text", "not-tzf", "a line of text", b"TZF picture? no.\n")
    good = header(4, 4, 24, 1, 0) + b"\x00" + Rng(9).bytes(48)
    def patched(at, value_bytes):
        d = bytearray(good)
        d[at:at + len(value_bytes)] = value_bytes
        return bytes(d)
    add("nottzf_magic", "not-tzf", "magic TZG", patched(0, b"TZG\0"))
    add("nottzf_magic_lowercase", "not-tzf", "magic tzf", patched(0, b"tzf\0"))
    add("nottzf_magic_no_zero", "not-tzf", "magic TZF followed by a space", patched(0, b"TZF "))
    add("nottzf_version1", "not-tzf", "version 1", patched(4, struct.pack("<I", 1)))
    add("nottzf_version4", "not-tzf", "version 4", patched(4, struct.pack("<I", 4)))
    add("nottzf_version_high", "not-tzf", "version 0x80000003", patched(4, struct.pack("<I", 0x80000003)))
    add("nottzf_bits16", "not-tzf", "16 bits per pixel", patched(24, struct.pack("<H", 16)))
    add("nottzf_bits32", "not-tzf", "32 bits per pixel", patched(24, struct.pack("<H", 32)))
    add("nottzf_bits0", "not-tzf", "0 bits per pixel", patched(24, struct.pack("<H", 0)))
    add("nottzf_header_length63", "not-tzf", "header length 63", patched(8, struct.pack("<i", 63)))
    add("nottzf_header_length0", "not-tzf", "header length 0", patched(8, struct.pack("<i", 0)))
    add("nottzf_24_offset1088", "not-tzf", "24 bits with the streams at 1088",
        patched(40, struct.pack("<i", 1088)))
    add("nottzf_8_offset64", "not-tzf", "8 bits with the streams at 64",
        patched(24, struct.pack("<H", 8)))


def png_file(width, height, rgb_rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + bytes(r) for r in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def scene(width, height):
    """A made-up scene: a sky gradient, a disc, a striped band and noise."""
    rng = Rng(99)
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r, g, b = 40 + y * 2, 80 + y * 3, 200 - y
            if (x - 30) ** 2 + (y - 12) ** 2 < 64:
                r, g, b = 250, 220, 60
            if 26 <= y < 32:
                r, g, b = (200, 40, 40) if (x // 4) % 2 else (240, 240, 240)
            if y >= 34:
                r, g, b = 30 + (rng.byte() & 15), 120 + (rng.byte() & 7), 30
            row += bytes([r & 255, g & 255, b & 255])
        rows.append(row)
    return rows


ENCODED = [
    ("enc_24_scene", "ok", "a 45x40 scene by tzfenc, 24-bit", ["--depth", "24"]),
    ("enc_24_scene_fast", "ok", "the same scene by tzfenc --fast, 24-bit", ["--depth", "24", "--fast"]),
    ("enc_8_scene", "ok", "the same scene by tzfenc, 8-bit", ["--depth", "8"]),
]


def encode(folder, tzfenc):
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "scene.png")
        with open(source, "wb") as f:
            f.write(png_file(45, 40, scene(45, 40)))
        for name, _, _, options in ENCODED:
            subprocess.run([tzfenc] + options + [source, os.path.join(folder, name + ".tzf")], check=True)


def main():
    args = sys.argv[1:]
    tzfenc = None
    if len(args) >= 2 and args[0] == "--encoder":
        tzfenc = args[1]
        args = args[2:]
    folder = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    build()
    if tzfenc:
        encode(folder, tzfenc)
    for name, cls, description, _ in ENCODED:
        with open(os.path.join(folder, name + ".tzf"), "rb") as f:
            CORPUS.append((name, cls, description, None))
    names = set()
    lines = ["# NAME.tzf\tCLASS (as made)\tWHAT IT COVERS; written by make_corpus.py"]
    for name, cls, description, data in CORPUS:
        assert name not in names, name
        names.add(name)
        if data is not None:
            with open(os.path.join(folder, name + ".tzf"), "wb") as f:
                f.write(data)
        lines.append("%s.tzf\t%s\t%s" % (name, cls, description))
    with open(os.path.join(folder, "manifest.tsv"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    print("%d files" % len(CORPUS))


if __name__ == "__main__":
    main()
