#!/usr/bin/env python3
"""Command-line test of tzfenc.

Every picture of tests/corpus/write/ (and the golden corpus's ok pictures)
is written here in each input format tzfenc reads: PNG as it is, BMP, GIF,
TGA, PPM and JPEG. tzfenc converts them all in one batch, tzfconv reads the
TZF files back through the filter (libtzf) as BMP, and the pixels are
compared exactly; JPEG is lossy, so there only the size and the colours
within a tolerance count. Paletted PNG, BMP and GIF files must keep their
colour table. Then the options: stdin and stdout, --background, --depth,
--palette, --effort, usage errors and exit statuses. With --emulator both
programs are Windows builds run under it (every start costs about a second
there, so the pictures go through in few runs).
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib

from cli_files import png_rows, read, write

FAILURES = []
HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "corpus")
WRITE_CORPUS = os.path.join(CORPUS, "write")
MAN_PAGE = os.path.join(HERE, "..", "..", "tools", "man", "tzfenc.1")


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL: " + what, file=sys.stderr)
    return condition


# --- pictures in memory: (width, height, pixels as (r, g, b[, a]) tuples,
# palette as a list of (r, g, b) or None, indices or None) ---------------------


class Pic:
    def __init__(self, width, height, pixels, palette=None, indices=None):
        self.width, self.height = width, height
        self.pixels, self.palette, self.indices = pixels, palette, indices

    def rgb(self):
        return [p[:3] for p in self.pixels]

    def opaque(self):
        return all(len(p) == 3 or p[3] == 255 for p in self.pixels)


def read_png(data):
    width, height, colour, plte, rows = png_rows(data)
    assert rows is not None, "the corpus holds 8-bit RGB, RGBA, indexed"
    step = {2: 3, 3: 1, 6: 4}[colour]
    flat = b"".join(rows)
    if colour == 3:
        palette = [tuple(plte[i:i + 3]) for i in range(0, len(plte), 3)]
        indices = list(flat)
        return Pic(width, height, [palette[i] for i in indices], palette, indices)
    return Pic(width, height, [tuple(flat[i:i + step]) for i in range(0, len(flat), step)])


def png_file(width, height, colour, rows, plte):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(r) for r in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0)) +
            chunk(b"PLTE", plte) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def bmp_file(pic):
    """8-bit with the picture's own table when it has one, else 24-bit."""
    w, h = pic.width, pic.height
    if pic.palette is not None:
        table = b"".join(bytes((b, g, r, 0)) for r, g, b in pic.palette)
        rows = [bytes(pic.indices[y * w:(y + 1) * w]) for y in range(h)]
        bits, used = 8, len(pic.palette)
    else:
        table = b""
        rows = [b"".join(bytes((b, g, r)) for r, g, b in pic.rgb()[y * w:(y + 1) * w])
                for y in range(h)]
        bits, used = 24, 0
    body = b"".join(r + bytes(-len(r) % 4) for r in reversed(rows))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(body), 2835, 2835, used, 0)
    offset = 14 + len(info) + len(table)
    return b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset) + info + table + body


def lzw(indices, min_size):
    """GIF's LZW: codes packed from the low bit up."""
    clear, end = 1 << min_size, (1 << min_size) + 1
    out, acc, nbits = bytearray(), 0, 0
    size, table, next_code = min_size + 1, {}, end + 1

    def emit(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    def reset():
        nonlocal size, table, next_code
        size, next_code = min_size + 1, end + 1
        table = {(i,): i for i in range(clear)}

    reset()
    emit(clear)
    w = ()
    for k in indices:
        wk = w + (k,)
        if wk in table:
            w = wk
            continue
        emit(table[w])
        if next_code < 4000:
            table[wk] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            emit(clear)
            reset()
        w = (k,)
    emit(table[w])
    emit(end)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif_file(pic):
    """The picture's own table (or its colours) padded to a power of two."""
    if pic.palette is not None:
        palette, indices = list(pic.palette), pic.indices
    else:
        palette = sorted(set(pic.rgb()))
        where = {c: i for i, c in enumerate(palette)}
        indices = [where[c] for c in pic.rgb()]
    n = 1
    while (1 << n) < len(palette):
        n += 1
    table = palette + [(0, 0, 0)] * ((1 << n) - len(palette))
    min_size = max(2, n)
    data = lzw(indices, min_size)
    blocks = b"".join(bytes((len(data[i:i + 255]),)) + data[i:i + 255]
                      for i in range(0, len(data), 255))
    head = b"GIF89a" + struct.pack("<HHBBB", pic.width, pic.height, 0x80 | (n - 1), 0, 0)
    image = b"\x2c" + struct.pack("<HHHHB", 0, 0, pic.width, pic.height, 0)
    return (head + b"".join(bytes(c) for c in table) + image + bytes((min_size,)) + blocks +
            b"\0\x3b"), table


def tga_file(pic):
    """Uncompressed true colour, top row first; 32 bits when not opaque."""
    alpha = not pic.opaque()
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, pic.width, pic.height,
                         32 if alpha else 24, 0x28 if alpha else 0x20)
    if alpha:
        body = b"".join(bytes((p[2], p[1], p[0], p[3])) for p in pic.pixels)
    else:
        body = b"".join(bytes((p[2], p[1], p[0])) for p in pic.pixels)
    return header + body


def ppm_file(pic):
    return b"P6\n%d %d\n255\n" % (pic.width, pic.height) + b"".join(bytes(p) for p in pic.rgb())


def block_means(pic):
    """The mean colour of each 8 x 8 block (edges repeated) as Y, Cb, Cr."""
    w, h = pic.width, pic.height
    rgb = pic.rgb()
    means = {}
    for by in range(0, h, 8):
        for bx in range(0, w, 8):
            total = [0.0, 0.0, 0.0]
            for y in range(by, by + 8):
                for x in range(bx, bx + 8):
                    r, g, b = rgb[min(y, h - 1) * w + min(x, w - 1)]
                    total[0] += 0.299 * r + 0.587 * g + 0.114 * b
                    total[1] += -0.168736 * r - 0.331264 * g + 0.5 * b + 128
                    total[2] += 0.5 * r - 0.418688 * g - 0.081312 * b + 128
            means[(bx // 8, by // 8)] = [t / 64 for t in total]
    return means


def jpeg_file(pic):
    """A baseline JPEG holding only each block's mean (DC terms, quantiser 1):
    every 8 x 8 block decodes flat."""
    means = block_means(pic)
    out, acc, nbits = bytearray(), 0, 0

    def bits(value, count):
        nonlocal acc, nbits
        for i in range(count - 1, -1, -1):
            acc = acc << 1 | (value >> i) & 1
            nbits += 1
            if nbits == 8:
                out.append(acc)
                if acc == 0xFF:
                    out.append(0)
                acc, nbits = 0, 0

    previous = [0, 0, 0]
    for by in range((pic.height + 7) // 8):
        for bx in range((pic.width + 7) // 8):
            for c in range(3):
                dc = max(-1024, min(1016, round(8 * (means[(bx, by)][c] - 128))))
                diff, previous[c] = dc - previous[c], dc
                size = abs(diff).bit_length()
                bits(size, 4)  # DC table: categories 0..11, four bits each
                if size:
                    bits(diff if diff > 0 else diff - 1 + (1 << size), size)
                bits(0, 1)  # AC table: the end of the block only
    if nbits:
        bits((1 << (8 - nbits)) - 1, 8 - nbits)

    def segment(marker, body):
        return bytes((0xFF, marker)) + struct.pack(">H", len(body) + 2) + body

    dqt = segment(0xDB, bytes((0,)) + bytes([1] * 64))
    sof = segment(0xC0, struct.pack(">BHHB", 8, pic.height, pic.width, 3) +
                  bytes((1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0)))
    dc_table = bytes((0x00,)) + bytes((0, 0, 0, 12) + (0,) * 12) + bytes(range(12))
    ac_table = bytes((0x10,)) + bytes((1,) + (0,) * 15) + bytes((0,))
    dht = segment(0xC4, dc_table + ac_table)
    sos = segment(0xDA, bytes((3, 1, 0, 2, 0, 3, 0, 0, 63, 0)))
    return b"\xff\xd8" + dqt + sof + dht + sos + bytes(out) + b"\xff\xd9"


def jpeg_expected(pic):
    """Each pixel's colour as its block's flat Y, Cb, Cr gives it."""
    means = block_means(pic)
    out = []
    for y in range(pic.height):
        for x in range(pic.width):
            lum, cb, cr = means[(x // 8, y // 8)]
            r = lum + 1.402 * (cr - 128)
            g = lum - 0.344136 * (cb - 128) - 0.714136 * (cr - 128)
            b = lum + 1.772 * (cb - 128)
            out.append(tuple(max(0, min(255, round(v))) for v in (r, g, b)))
    return out


def read_bmp(data):
    """(bits, palette as (r, g, b) list, pixels as (r, g, b) top row first)."""
    (offset,) = struct.unpack("<I", data[10:14])
    _, w, h, _, bits = struct.unpack("<IiiHH", data[14:30])
    palette = []
    if bits == 8:
        table = data[54:offset]
        palette = [(table[i + 2], table[i + 1], table[i]) for i in range(0, len(table), 4)]
    stride = (w * bits // 8 + 3) & ~3
    rows = []
    for y in range(abs(h)):
        row = data[offset + y * stride:offset + y * stride + w * bits // 8]
        if bits == 8:
            rows.append([palette[i] for i in row])
        else:
            rows.append([(row[i + 2], row[i + 1], row[i]) for i in range(0, len(row), 3)])
    if h > 0:
        rows.reverse()
    return bits, palette, [p for r in rows for p in r]


# --- running the programs ---------------------------------------------------


class Program:
    def __init__(self, command, workdir):
        self.command = command
        self.workdir = workdir

    def run(self, *args, stdin_path=None):
        """(exit status, stdout bytes, stderr text). Output goes through
        files, not pipes: a Wine server started by the run inherits the
        program's handles and would hold a pipe open until it exits."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            source = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
            try:
                result = subprocess.run(self.command + list(args), cwd=self.workdir, stdin=source,
                                        stdout=out, stderr=err, timeout=300)
            finally:
                if stdin_path:
                    source.close()
            out.seek(0)
            err.seek(0)
            stdout = out.read()
            stderr = err.read().decode("utf-8", "replace").replace("\r\n", "\n")
        return result.returncode, stdout, stderr.replace("\\", "/")


# --- the cases --------------------------------------------------------------


class Case:
    """One input file and what its TZF file must decode to. `bits` None:
    either depth; `palette`: the colour table the file must start with;
    `tolerance`: largest difference of a sample (0: exact)."""

    def __init__(self, name, data, pixels, bits, palette=None, tolerance=0):
        self.name, self.data, self.pixels = name, data, pixels
        self.bits, self.palette, self.tolerance = bits, palette, tolerance


def corpus_cases():
    cases = []
    with open(os.path.join(WRITE_CORPUS, "write.tsv")) as f:
        lines = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]
    for name, kind, expected_name in lines:
        stem = name[:-4]
        data = read(os.path.join(WRITE_CORPUS, name))
        pic = read_png(data)
        expected = read_png(read(os.path.join(WRITE_CORPUS, expected_name))).rgb()
        if kind == "palette":
            cases.append(Case(stem + ".png", data, expected, 8, pic.palette))
            cases.append(Case(stem + ".bmp", bmp_file(pic), expected, 8, pic.palette))
            gif, table = gif_file(pic)
            cases.append(Case(stem + ".gif", gif, expected, 8, table))
        elif kind == "rgb":
            cases.append(Case(stem + ".png", data, expected, 24))
            cases.append(Case(stem + ".bmp", bmp_file(pic), expected, 24))
            if len(set(pic.rgb())) <= 256:
                gif, table = gif_file(pic)
                cases.append(Case(stem + ".gif", gif, expected, 8, table))
        else:
            cases.append(Case(stem + ".png", data, expected, 24))
            cases.append(Case(stem + ".tga", tga_file(pic), expected, 24))
            continue
        flat = Pic(pic.width, pic.height, pic.rgb())
        cases.append(Case(stem + ".tga", tga_file(flat), expected, 24))
        cases.append(Case(stem + ".ppm", ppm_file(flat), expected, 24))
        cases.append(Case(stem + ".jpg", jpeg_file(flat), jpeg_expected(flat), 24, tolerance=3))
    with open(os.path.join(CORPUS, "expected.tsv")) as f:
        for line in f:
            fields = line.split("\t")
            if line.startswith("#") or len(fields) < 2 or fields[1] != "ok":
                continue
            png_name = fields[0][:-4] + ".png"
            data = read(os.path.join(CORPUS, png_name))
            cases.append(Case("golden_" + png_name, data, read_png(data).rgb(), None))
    return cases


def check_tzf(what, bmp_path, case):
    if not check(os.path.exists(bmp_path), what + ": no TZF file read back"):
        return
    bits, palette, pixels = read_bmp(read(bmp_path))
    if case.bits is not None:
        check(bits == case.bits, f"{what}: {bits}-bit, expected {case.bits}")
    if case.palette is not None:
        check(palette[:len(case.palette)] == case.palette, what + ": colour table not kept")
    if not check(len(pixels) == len(case.pixels), what + ": size differs"):
        return
    if case.tolerance == 0:
        wrong = sum(1 for a, b in zip(pixels, case.pixels) if a != b)
    else:
        wrong = sum(1 for a, b in zip(pixels, case.pixels)
                    if max(abs(x - y) for x, y in zip(a, b)) > case.tolerance)
    check(wrong == 0, f"{what}: {wrong} of {len(pixels)} pixels differ")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tzfenc", required=True)
    parser.add_argument("--tzfconv", required=True, help="reads the TZF files back")
    parser.add_argument("--emulator", nargs="*", default=[])
    parser.add_argument("--release", required=True, help="the project's version, e.g. 1.0.0")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as work:
        enc = Program(args.emulator + [os.path.abspath(args.tzfenc)], work)
        conv = Program(args.emulator + [os.path.abspath(args.tzfconv)], work)

        def decode(tzf_paths, into):
            status, _, err = conv.run("--format", "bmp", "-q", "-o", into, *tzf_paths)
            check(status == 0, f"tzfconv reads {len(tzf_paths)} files back: {status} {err}")

        # Every picture in every format, in one batch with a broken file.
        cases = corpus_cases()
        names = []
        for case in cases:
            write(os.path.join(work, "in", case.name), case.data)
            names.append(os.path.join("in", case.name))
        write(os.path.join(work, "in", "broken.png"), cases[0].data[:40])
        # The stems repeat across formats: one batch per format.
        formats = sorted({n.rsplit(".", 1)[1] for n in names})
        for i, ext in enumerate(formats):
            batch = [n for n in names if n.endswith("." + ext)]
            extra = [os.path.join("in", "broken.png")] if i == 0 else []
            status, _, err = enc.run("-j", "2", "-o", "out_" + ext, *(batch + extra))
            expected_status = 2 if extra else 0
            check(status == expected_status,
                  f"batch of {ext}: exit {status}, expected {expected_status}: {err}")
            if extra:
                check("broken.png" in err, "the broken file is named: " + err)
            blended = err.count("transparent pixels were blended over #ffffff")
            if ext in ("png", "tga"):
                check(blended == 1, f"batch of {ext}: the blending said {blended} times: {err}")
            else:
                check(blended == 0, f"batch of {ext}: blending said for opaque input: {err}")
            tzfs = [os.path.join("out_" + ext, os.path.basename(b)[:-4] + ".tzf") for b in batch]
            decode(tzfs, "back_" + ext)
            for case in cases:
                if case.name.endswith("." + ext):
                    check_tzf(case.name, os.path.join(work, "back_" + ext,
                                                      case.name[:-4] + ".bmp"), case)
        print(f"{len(cases)} pictures in {len(formats)} formats converted and read back")

        by_name = {c.name: c for c in cases}
        pal = "palette_odd_37x23"
        pal_png = os.path.join(work, "in", pal + ".png")
        batch_file = read(os.path.join(work, "out_png", pal + ".tzf"))

        # Standard input and output, alone and together, and one run with -j 1.
        status, out, err = enc.run("-", "-", stdin_path=pal_png)
        check(status == 0 and out == batch_file, f"- -: {status} {len(out)} bytes {err}")
        status, out, err = enc.run(os.path.join("in", pal + ".png"), "-")
        check(status == 0 and out == batch_file, f"IN -: {status} {err}")
        status, _, err = enc.run("-j", "1", "-", "stdin.tzf", stdin_path=pal_png)
        check(status == 0 and read(os.path.join(work, "stdin.tzf")) == batch_file,
              f"- OUT: {status} {err}")

        # Wildcards in a batch's inputs, as the Windows command prompt passes them.
        status, _, err = enc.run("-o", "wild", os.path.join("in", "palette_*.g?f"))
        wild = sorted(os.listdir(os.path.join(work, "wild"))) if status == 0 else []
        check(wild == sorted(c.name[:-4] + ".tzf" for c in cases
                             if c.name.startswith("palette_") and c.name.endswith(".gif")),
              f"wildcards: exit {status}, wrote {wild}: {err}")

        # Options, each checked through the file read back.
        rgba = "rgba_disc_64x48"
        scene = "rgb_scene_320x200"
        few = "rgb_few_colours_45x30"
        source = read_png(by_name[rgba + ".png"].data)
        background = (0x33, 0x66, 0x99)
        option_runs = [
            # (name, arguments, input, check of the picture read back)
            ("background", ["--background", "336699"], rgba + ".png", None),
            ("depth24", ["--depth", "24"], pal + ".png",
             Case("", None, by_name[pal + ".png"].pixels, 24)),
            ("depth8_few", ["--depth=8", "--effort", "fast"], few + ".png",
             Case("", None, by_name[few + ".png"].pixels, 8)),
            ("depth8_scene", ["--depth", "8", "--no-dither"], scene + ".png", None),
            ("fast", ["--fast"], scene + ".png", Case("", None, by_name[scene + ".png"].pixels, 24)),
            ("fixed_table", ["--palette", os.path.join("in", pal + ".png")], scene + ".png", None),
            ("own_colours", ["--palette", os.path.join("in", few + ".png")], few + ".bmp",
             Case("", None, by_name[few + ".png"].pixels, 8)),
        ]
        for name, options, input_name, expect in option_runs:
            status, _, err = enc.run(*options, os.path.join("in", input_name), name + ".tzf")
            check(status == 0, f"{name}: exit {status}: {err}")
            if name == "background":
                check(err.count("blended over #336699") == 1, "background said once: " + err)
        decode([n + ".tzf" for n, _, _, _ in option_runs], "back_options")
        back = {n: read_bmp(read(os.path.join(work, "back_options", n + ".bmp")))
                for n, _, _, _ in option_runs
                if os.path.exists(os.path.join(work, "back_options", n + ".bmp"))}
        for name, _, _, expect in option_runs:
            if check(name in back, name + ": not read back") and expect is not None:
                check_tzf(name, os.path.join(work, "back_options", name + ".bmp"), expect)
        if "background" in back:
            wrong = 0
            for (r, g, b, a), got in zip(source.pixels, back["background"][2]):
                want = [(a * c + (255 - a) * k) / 255 for c, k in zip((r, g, b), background)]
                wrong += any(abs(x - y) > 1 for x, y in zip(got, want))
            check(wrong == 0, f"background: {wrong} pixels not blended over #336699")
        if "depth8_scene" in back:
            bits, _, pixels = back["depth8_scene"]
            check(bits == 8 and len(pixels) == 320 * 200, "depth8_scene: an 8-bit picture")
        if "fixed_table" in back:
            bits, palette, pixels = back["fixed_table"]
            table = read_png(by_name[pal + ".png"].data).palette
            check(bits == 8 and palette[:len(table)] == table, "fixed_table: the table given")
            check(set(pixels) <= set(table), "fixed_table: colours outside the table")
        smallest = len(read(os.path.join(work, "out_png", scene + ".tzf")))
        check(len(read(os.path.join(work, "fast.tzf"))) >= smallest,
              "--fast makes no smaller file than the smallest")

        # Usage, errors and exit statuses.
        status, out, _ = enc.run("--version")
        check(status == 0 and out.decode().strip() == "tzfenc " + args.release,
              "--version: " + out.decode())
        status, out, _ = enc.run("--help")
        help_text = out.decode().replace("\r\n", "\n")
        check(status == 0 and help_text.startswith("usage: tzfenc"), "--help")
        man = read(MAN_PAGE).decode().replace("\\-", "-").replace("\\fB", "").replace("\\fR", "")
        for option in sorted(set(re.findall(r"(?m)^\s+(-[-a-z]+)", help_text))):
            check(option in man, f"{option} is in --help but not in the manual page")
        for option in ["--effort", "--depth", "--no-dither", "--palette", "--background", "-j",
                       "-o", "--fast", "-v", "--version"]:
            check(option in help_text, option + " is not in --help")
        usage_errors = [
            ["--bogus", "a.png", "b.tzf"], ["--depth", "12", "a.png", "b.tzf"],
            ["--effort", "slow", "a.png", "b.tzf"], ["--background", "red", "a.png", "b.tzf"],
            ["-j", "0", "a.png", "b.tzf"], ["a.png"], ["a.png", "b.tzf", "c.tzf"],
            ["-o", "dir", "-"], ["--palette", "p.png", "--depth", "24", "a.png", "b.tzf"],
            ["-o", "dir", "x/a.png", "y/a.bmp"],
        ]
        for arguments in usage_errors:
            status, _, err = enc.run(*arguments)
            check(status == 1 and "Try 'tzfenc --help'" in err,
                  f"{' '.join(arguments)}: exit {status}, expected 1: {err}")
        status, _, err = enc.run("--palette", os.path.join("in", scene + ".png"),
                                 os.path.join("in", few + ".png"), "x.tzf")
        check(status == 2 and "256" in err, f"--palette of many colours: {status} {err}")
        # An index past a two-colour table: stb_image gives it no defined colour.
        write(os.path.join(work, "past_table.png"),
              png_file(3, 1, 3, [[0, 1, 5]], bytes((1, 2, 3, 4, 5, 6))))
        status, _, err = enc.run("past_table.png", "x.tzf")
        check(status == 2 and "past the colour table" in err, f"past_table.png: {status} {err}")
        status, _, err = enc.run("missing.png", "x.tzf")
        check(status == 2, f"a missing input: exit {status}: {err}")
        status, _, err = enc.run(os.path.join("in", few + ".png"),
                                 os.path.join("no-such-folder", "x.tzf"))
        check(status == 3, f"an output that cannot be written: exit {status}: {err}")

    if FAILURES:
        print(f"{len(FAILURES)} checks failed", file=sys.stderr)
        return 1
    print("tzfenc command-line test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
