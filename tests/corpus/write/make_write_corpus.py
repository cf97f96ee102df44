#!/usr/bin/env python3
"""Makes the pictures every writer encodes and every reader reads back.

Each line of write.tsv names a PNG, its kind and the PNG of the pixels a
TZF file written from it must decode to:
  palette  an indexed PNG: an 8-bit file keeping its colour table
  rgb      a true-colour PNG: a 24-bit file with exactly its pixels
  rgba     a PNG with transparency: composited over white, then 24 bits
The PNGs hold stored (uncompressed) deflate blocks, so that test programs
read them with a small reader of their own on every platform.
Run from anywhere; writes next to this script.
"""
import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(path, width, height, colour_type, rows, plte=None):
    raw = b"".join(b"\0" + bytes(r) for r in rows)
    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
    if plte is not None:
        out += chunk(b"PLTE", b"".join(bytes(c) for c in plte))
    out += chunk(b"IDAT", zlib.compress(raw, 0))
    out += chunk(b"IEND", b"")
    with open(os.path.join(HERE, path), "wb") as f:
        f.write(out)


def indexed(rng, width, height, colours):
    """Indices with repeats a run can copy: rows echo earlier rows, some flat."""
    rows = []
    for y in range(height):
        if y >= 2 and rng.random() < 0.3:
            rows.append(list(rows[y - rng.choice([1, 2])]))
            continue
        row, x = [], 0
        while x < width:
            v = rng.randrange(colours)
            n = rng.choice([1, 1, 1, 2, 5, 20])
            row.extend([v] * n)
            x += n
        rows.append(row[:width])
    return rows


def scene(rng, width, height):
    """A smooth picture with noise: many colours, few exact repeats."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            if (x // 7 + y // 5) % 4 == 0:
                row += [30, 140, 200]
                continue
            r = (x * 255 // max(1, width - 1) + rng.randrange(3)) % 256
            g = (y * 255 // max(1, height - 1) + rng.randrange(3)) % 256
            b = (x * y + rng.randrange(2)) % 256
            row += [r, g, b]
        rows.append(row)
    return rows


def main():
    rng = random.Random(20261209)
    lines = ["# name\tkind\texpected pixels"]

    def add(name, kind, expected=None):
        lines.append(f"{name}\t{kind}\t{expected or name}")

    def pal(n):
        return [(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(n)]

    for name, w, h, n in [("palette_1x1", 1, 1, 1), ("palette_odd_37x23", 37, 23, 200),
                          ("palette_wide_1001x3", 1001, 3, 16), ("palette_tall_3x701", 3, 701, 5),
                          ("palette_full_64x64", 64, 64, 256), ("palette_duplicates_17x9", 17, 9, 4)]:
        colours = pal(n)
        if name.startswith("palette_duplicates"):
            colours = [colours[0], colours[1], colours[0], colours[1]]  # repeated entries
        png(f"{name}.png", w, h, 3, indexed(rng, w, h, n), colours)
        add(f"{name}.png", "palette")

    for name, w, h in [("rgb_1x1", 1, 1), ("rgb_odd_61x41", 61, 41), ("rgb_wide_2003x2", 2003, 2),
                       ("rgb_tall_2x901", 2, 901), ("rgb_scene_320x200", 320, 200)]:
        png(f"{name}.png", w, h, 2, scene(rng, w, h))
        add(f"{name}.png", "rgb")
    # True colour with few colours: still exact at 24 bits.
    colours = pal(12)
    rows = [[c for i in r for c in colours[i]] for r in indexed(rng, 45, 30, 12)]
    png("rgb_few_colours_45x30.png", 45, 30, 2, rows)
    add("rgb_few_colours_45x30.png", "rgb")

    # The most colours an 8-bit file holds exactly, and one more: 2x2 blocks
    # of 256 colours, then the same with its last pixel a new colour.
    w, h = 64, 16
    table = [((i * 37) % 256, (i * 101 + 17) % 256, i) for i in range(256)]
    blocks = [[table[(x // 2 + (y // 2) * (w // 2)) % 256] for x in range(w)] for y in range(h)]
    for name, extra in [("rgb_256_colours_64x16", None), ("rgb_257_colours_64x16", (1, 2, 3))]:
        grid = [list(r) for r in blocks]
        if extra is not None:
            grid[h - 1][w - 1] = extra
        png(f"{name}.png", w, h, 2, [[c for p in r for c in p] for r in grid])
        add(f"{name}.png", "rgb")

    # Transparency: a disc and text hidden under fully transparent pixels
    # must not show; partial alpha blends over white.
    w, h = 64, 48
    rgba, white = [], []
    for y in range(h):
        row, flat = [], []
        for x in range(w):
            inside = (x - 32) ** 2 + (y - 24) ** 2 < 18 ** 2
            hidden = (0, 128, 128)  # teal under the transparent corner pixels
            if inside:
                r, g, b, a = 200, 40, 40, 255
            elif x < 8 or y < 6:
                r, g, b, a = (*hidden, 0)
            else:
                r, g, b, a = 20, 20 + x, 90 + y, (x * 4 + y) % 256
            row += [r, g, b, a]
            flat += [(c * a + 255 * (255 - a) + 127) // 255 for c in (r, g, b)]
        rgba.append(row)
        white.append(flat)
    png("rgba_disc_64x48.png", w, h, 6, rgba)
    png("rgba_disc_64x48.over-white.png", w, h, 2, white)
    add("rgba_disc_64x48.png", "rgba", "rgba_disc_64x48.over-white.png")

    with open(os.path.join(HERE, "write.tsv"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
