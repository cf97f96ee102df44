"""Files for the command-line tools' tests: whole files read and written, and
the 8-bit PNG files the tools write and the corpus holds read with Python's
standard library alone."""
import os
import struct
import zlib


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def png_rows(data):
    """(width, height, colour type, PLTE bytes or None, rows top first) of an
    8-bit PNG of colour type 0, 2, 3 or 6; rows is None for any other kind, and
    the whole answer None for data that is not a PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    pos, chunks, idat = 8, {}, b""
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IDAT":
            idat += body
        else:
            chunks[kind] = body
        pos += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    if depth != 8 or colour not in (0, 2, 3, 6):
        return (width, height, colour, None, None)
    step = {0: 1, 2: 3, 3: 1, 6: 4}[colour]
    stride = width * step
    raw = zlib.decompress(idat)
    rows, previous = [], bytes(stride)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, cur = line[0], bytearray(line[1:])
        for i in range(stride):
            a = cur[i - step] if i >= step else 0
            b = previous[i]
            c = previous[i - step] if i >= step else 0
            if kind == 1:
                cur[i] = (cur[i] + a) & 0xFF
            elif kind == 2:
                cur[i] = (cur[i] + b) & 0xFF
            elif kind == 3:
                cur[i] = (cur[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                cur[i] = (cur[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(bytes(cur))
        previous = bytes(cur)
    return (width, height, colour, chunks.get(b"PLTE"), rows)


def png_rgb(data):
    """(width, height, RGB bytes) of an 8-bit grey, RGB, palette or RGBA PNG,
    the last composited over white as every writer here composites it."""
    width, height, colour, plte, rows = png_rows(data)
    assert rows is not None, "an 8-bit grey, RGB, palette or RGBA PNG"
    flat = b"".join(rows)
    if colour == 0:
        return width, height, bytes(v for v in flat for _ in range(3))
    if colour == 3:
        return width, height, b"".join(plte[3 * i:3 * i + 3] for i in flat)
    if colour == 6:
        out = bytearray()
        for i in range(0, len(flat), 4):
            a = flat[i + 3]
            out += bytes((c * a + 255 * (255 - a) + 127) // 255 for c in flat[i:i + 3])
        return width, height, bytes(out)
    return width, height, flat
