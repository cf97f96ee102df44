#!/usr/bin/python3
"""Tests of the Pillow plug-in as a program uses it: `import tzf_pillow`, then
PIL.Image.open and Image.save. The golden corpus (tests/corpus/expected.tsv)
gives pictures with their expected pixels or failure, the write corpus
(tests/corpus/write/write.tsv) pictures to save with the pixels they must
decode to; other pictures are PNGs written here with Pillow and encoded by
the built tzfenc. CTest passes the paths in the
environment and runs one class per test (see python/CMakeLists.txt)."""
import ctypes
import filecmp
import functools
import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
import warnings

from PIL import Image, ImageFile, UnidentifiedImageError

import _tzf_abi as abi
import tzf_pillow

ENV = {name: os.environ.get("TZF_TEST_" + name, "")
       for name in ("TZFENC", "BINDING", "SAMPLE", "CORPUS", "CMAKE", "BUILD_DIR")}


def run(*args):
    result = subprocess.run([str(a) for a in args], capture_output=True, timeout=120)
    assert result.returncode == 0, (args, result.stderr)
    return result.stdout


def python(script, **env):
    return subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120,
                          env=dict(os.environ, **env))


def write_png(path, width, height, depth, seed):
    """Flat areas, rows repeated from the one before, gradients and noise, so
    that the encoder uses several kinds of back-reference and literals."""
    rng = random.Random(seed)
    pixels = bytearray(width * height)
    for i in range(len(pixels)):
        x, y = i % width, i // width
        kind = (x // 5 + y // 3 + seed) % 4
        pixels[i] = ((x * 7 + y * 3) & 0xFF if kind == 0 else pixels[i - width]
                     if kind == 1 and y else rng.randrange(256) if kind == 2 else seed)
    image = Image.frombytes("P", (width, height), bytes(pixels))
    image.putpalette(rng.sample(range(256), 256) + rng.sample(range(256), 256) * 2)
    if depth == 24:  # more than 256 colours
        image = Image.frombytes("RGB", image.size, bytes(
            rng.randrange(256) if i % 7 == 0 else b for i, b in
            enumerate(image.convert("RGB").tobytes())))
    image.save(path)


class CountingFile(io.BytesIO):
    """A file in memory that counts what is read from it; `seekable` False
    makes the plug-in read it in order, as it reads a pipe."""

    def __init__(self, data, seekable=True):
        super().__init__(data)
        self.can_seek = seekable
        self.furthest = 0
        self.read_bytes = 0

    def seekable(self):
        return self.can_seek

    def read(self, size=-1):
        data = super().read(size)
        self.furthest = max(self.furthest, self.tell())
        self.read_bytes += len(data)
        return data


def load(source, truncated_ok=False, format="TZF"):
    """Image.open and load with ImageFile.LOAD_TRUNCATED_IMAGES as given; the
    image, or the exception either raised. The image must be of `format`."""
    saved = ImageFile.LOAD_TRUNCATED_IMAGES
    ImageFile.LOAD_TRUNCATED_IMAGES = truncated_ok
    try:
        with Image.open(source) as image:
            assert image.format == format, (image.format, source)
            image.load()
            return image.copy()
    except Exception as e:  # compared with the expected class by the caller
        return e
    finally:
        ImageFile.LOAD_TRUNCATED_IMAGES = saved


def corpus_table():
    """expected.tsv's lines: (path, class, rows held)."""
    with open(os.path.join(ENV["CORPUS"], "expected.tsv"), encoding="utf-8") as f:
        return [(os.path.join(ENV["CORPUS"], name), kind, rows) for name, kind, rows in
                (line.rstrip("\n").split("\t") for line in f
                 if line.strip() and not line.startswith("#"))]


def other_format(path):
    """The format Pillow opens `path` as when no TZF picture; None for none."""
    try:
        with Image.open(path) as image:
            return image.format
    except UnidentifiedImageError:
        return None


@functools.lru_cache(maxsize=None)
def library():
    lib = ctypes.CDLL(os.environ["TZF_LIBRARY"])
    lib.tzf_decode.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p,
                               ctypes.c_ssize_t, ctypes.c_void_p]
    return lib


def whole_data_rgb(data, width, height):
    """The picture as libtzf's tzf_decode gives it from the whole data: the
    reference the plug-in's reading of parts must equal."""
    out = ctypes.create_string_buffer(width * height * 3)
    status = library().tzf_decode(data, len(data), abi.TZF_FORMAT_RGB, out, width * 3, None)
    assert status == abi.TZF_OK, status
    return out.raw


def usable_extent(data):
    """libtzf's usable extent of a picture: its end and its kept bytes."""
    info, extent = tzf_pillow._record("tzf_info"), tzf_pillow._record("tzf_extent")
    head = data[:abi.TZF_INFO_SIZE]
    assert tzf_pillow._LIB.tzf_read_info(head, len(head), info) == abi.TZF_OK
    assert tzf_pillow._LIB.tzf_usable_extent(info, extent) == abi.TZF_OK
    return (tzf_pillow._get(extent, "tzf_extent", "end"),
            tzf_pillow._get(extent, "tzf_extent", "kept_bytes"))


class Case(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tzf-pillow-")
        self.addCleanup(shutil.rmtree, self.folder)

    def path(self, name, data=None):
        path = os.path.join(self.folder, name)
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
        return path

    def make_tzf(self, name, width, height, depth, seed=1):
        write_png(self.path(name + ".png"), width, height, depth, seed)
        run(ENV["TZFENC"], "--depth", depth, self.path(name + ".png"), self.path(name))
        with open(self.path(name), "rb") as f:
            return f.read()

    def assert_pixels(self, image, png, what):
        self.assertIsInstance(image, Image.Image, what)
        with Image.open(png) as expected:
            self.assertEqual(image.size, expected.size, what)
            self.assertEqual(image.convert("RGB").tobytes(), expected.convert("RGB").tobytes(),
                             what)


class Registration(Case):
    def test_names_and_acceptance(self):
        self.assertEqual(Image.registered_extensions()[".tzf"], "TZF")
        self.assertIs(Image.SAVE["TZF"], tzf_pillow._save)
        self.assertEqual(Image.MIME["TZF"], "image/x-tzf")
        with Image.open(ENV["SAMPLE"]) as image:
            self.assertEqual((image.format, image.get_format_mimetype()), ("TZF", "image/x-tzf"))
        with open(ENV["SAMPLE"], "rb") as f:
            good = f.read(abi.TZF_HEADER_SIZE)
        accept = Image.OPEN["TZF"][1]  # Pillow hands it the first 16 bytes
        for prefix, expected in [(good[:16], True), (good, True),
                                 (b"\x89PNG\r\n\x1a\n" + bytes(8), False), (b"TZF", False),
                                 (b"TZG\0" + good[4:], False)]:
            self.assertEqual(bool(accept(prefix)), expected, prefix)

    def test_library_by_soname_or_override(self):
        script = "import tzf_pillow; from PIL import Image; print(Image.open(%r).size)"
        library = os.environ["TZF_LIBRARY"]
        out = python(script % ENV["SAMPLE"], TZF_LIBRARY="",
                     LD_LIBRARY_PATH=os.path.dirname(library))
        self.assertEqual((out.stdout, out.returncode), (b"(640, 360)\n", 0), out.stderr)
        out = python(script % ENV["SAMPLE"], TZF_LIBRARY=library + ".missing")
        self.assertIn(b"ImportError: tzf_pillow: cannot load", out.stderr)


class Pixels(Case):
    def test_pictures_round_trip_through_tzfenc(self):
        # Both depths, odd widths, one row, one column, and the sample.
        for name, width, height, depth in [
                ("a", 1, 1, 8), ("b", 7, 5, 8), ("c", 33, 17, 8), ("d", 1, 40, 8),
                ("e", 97, 41, 8), ("f", 1, 1, 24), ("g", 3, 2, 24), ("h", 31, 19, 24),
                ("i", 40, 1, 24), ("j", 101, 37, 24), ("sample", 640, 360, 24)]:
            if name == "sample":
                with open(ENV["SAMPLE"], "rb") as f:
                    data = f.read()
            else:
                data = self.make_tzf(name, width, height, depth, seed=width)
            for seekable in (True, False):
                with self.subTest(name, seekable=seekable):
                    # Opening reads the header and colour table only; loading
                    # the parts libtzf names and nothing after them, however
                    # long the file.
                    counting = CountingFile(data + bytes(1 << 20), seekable)
                    image = Image.open(counting)
                    self.assertEqual((image.format, image.size), ("TZF", (width, height)))
                    self.assertEqual(image.mode, "P" if depth == 8 else "RGB")
                    self.assertLessEqual(counting.furthest, abi.TZF_INFO_SIZE)
                    image.load()
                    end, kept = usable_extent(data)
                    self.assertLessEqual(counting.furthest, max(end, abi.TZF_INFO_SIZE))
                    if seekable:  # Pillow's first 16 bytes, the head, the parts
                        self.assertLessEqual(counting.read_bytes, 16 + abi.TZF_INFO_SIZE + kept)
                    self.assertEqual(image.convert("RGB").tobytes(),
                                     whole_data_rgb(data, width, height))
                    if name != "sample":  # tzfenc keeps every colour
                        self.assert_pixels(image, self.path(name + ".png"), name)


class Corpus(Case):
    """Every file of the golden corpus, as expected.tsv classes it:
         ok         the pixels of NAME.png
         truncated  OSError "image file is truncated (ROWS_HELD of ...)"; with
                    ImageFile.LOAD_TRUNCATED_IMAGES the pixels of NAME.png
         not-tzf    not taken as TZF: UnidentifiedImageError, or another of
                    Pillow's formats opens it (a PNG named .tzf is a PNG)
         bad-size   OSError, but not UnidentifiedImageError: a TZF picture no
                    image can hold
         limit      DecompressionBombError, Pillow's error for pictures over
                    its limit (and libtzf's defaults are above Pillow's)
    ok and truncated files are read from the file and in order from a stream
    that cannot seek, which must give the same."""

    def test_corpus(self):
        table = corpus_table()
        self.assertGreater(len(table), 0)
        classes = set()
        for path, kind, rows_held in table:
            classes.add(kind)
            name = os.path.basename(path)
            png = path[:-len(".tzf")] + ".png"
            with open(path, "rb") as f:
                data = f.read()
            with self.subTest(name, kind=kind):
                if kind == "not-tzf":
                    self.assertNotEqual(other_format(path), "TZF")
                elif kind == "bad-size":
                    error = load(path)
                    self.assertIsInstance(error, OSError)
                    self.assertNotIsInstance(error, UnidentifiedImageError)
                elif kind == "limit":
                    self.assertIsInstance(load(path), Image.DecompressionBombError)
                elif kind in ("ok", "truncated"):
                    sources = [path, CountingFile(data, seekable=False)]
                    for source in sources:
                        self.assert_pixels(load(source, truncated_ok=True), png, name)
                        strict = load(source, truncated_ok=False)
                        if kind == "ok":
                            self.assert_pixels(strict, png, name)
                        else:
                            self.assertIsInstance(strict, OSError)
                            self.assertNotIsInstance(strict, UnidentifiedImageError)
                            self.assertIn(f"image file is truncated ({rows_held} of", str(strict))
                else:
                    self.fail(f"unknown class {kind}")
        self.assertEqual(classes, {"ok", "truncated", "not-tzf", "bad-size", "limit"})


class BadFiles(Case):
    def test_not_pictures(self):
        rng = random.Random(9)
        for data in [b"", b"hello\n" * 300, bytes(rng.randrange(256) for _ in range(3000)),
                     b"TZF\0" + bytes(2000)]:
            with self.subTest(data[:20]):
                self.assertIsInstance(load(self.path("bad.tzf", data)), UnidentifiedImageError)

    def test_over_the_limits_allocates_nothing_large(self):
        # In a process that cannot map more than 1 GiB, every picture over
        # the limits fails at open; with no limit at all, libtzf says it
        # cannot address the largest.
        limit = [path for path, kind, _ in corpus_table() if kind == "limit"]
        self.assertTrue(limit)
        out = python(f"""
import resource; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import tzf_pillow; from PIL import Image
for path in {limit!r}:
    try: Image.open(path)
    except Image.DecompressionBombError: print("bomb")
""")
        self.assertEqual(out.stdout.decode(), "bomb\n" * len(limit), out.stderr)

    def test_limit_follows_max_image_pixels(self):
        # Pillow refuses more than twice MAX_IMAGE_PIXELS, and libtzf's
        # limit is set to the same: one pixel under it opens, at it too.
        with open(ENV["SAMPLE"], "rb") as f:
            data = f.read()
        saved = Image.MAX_IMAGE_PIXELS
        self.addCleanup(setattr, Image, "MAX_IMAGE_PIXELS", saved)
        for max_pixels, opens in [(640 * 360 // 2, True), (640 * 360 // 2 - 1, False),
                                  (None, True)]:
            Image.MAX_IMAGE_PIXELS = max_pixels
            with self.subTest(max_pixels), warnings.catch_warnings():
                warnings.simplefilter("ignore", Image.DecompressionBombWarning)
                result = load(io.BytesIO(data))
                if opens:
                    self.assertIsInstance(result, Image.Image)
                else:  # refused when opened, before Pillow's own check
                    self.assertIsInstance(result, Image.DecompressionBombError)
                    self.assertIn("TZF picture of 640 x 360 pixels", str(result))


class RandomTails(Case):
    def test_cut_and_damaged_pictures_decode_as_the_whole_data(self):
        # Pictures made by tzfenc, cut anywhere after the header, with bytes
        # past it overwritten and random bytes appended: reading only the
        # usable parts, from a file or in order, gives the pixels libtzf
        # decodes from the whole data; a file that ends early loads only with
        # LOAD_TRUNCATED_IMAGES.
        rng = random.Random(20240)
        bases = [self.make_tzf(f"base{i}", rng.randint(1, 40), rng.randint(1, 24),
                               rng.choice((8, 24)), seed=i) for i in range(8)]
        for case in range(200):
            data = bytearray(rng.choice(bases))
            with Image.open(io.BytesIO(data)) as image:
                width, height = image.size
            del data[rng.randrange(abi.TZF_HEADER_SIZE, len(data) + 1):]
            for _ in range(rng.randrange(4)):
                if len(data) > abi.TZF_HEADER_SIZE:
                    data[rng.randrange(abi.TZF_HEADER_SIZE, len(data))] = rng.randrange(256)
            if rng.randrange(3) == 0:
                data += bytes(rng.randrange(256) for _ in range(rng.randrange(200)))
            data = bytes(data)
            expected = whole_data_rgb(data, width, height)
            with self.subTest(case):
                for seekable in (True, False):
                    image = load(CountingFile(data, seekable), truncated_ok=True)
                    self.assertEqual(image.convert("RGB").tobytes(), expected)
                    strict = load(CountingFile(data, seekable))
                    if isinstance(strict, Exception):
                        self.assertIn("image file is truncated", str(strict))
                    else:
                        self.assertEqual(strict.convert("RGB").tobytes(), expected)


def write_table():
    """The pictures every writer saves: write.tsv's lines as (name, kind,
    source PNG, expected PNG), then the golden corpus's `ok` pictures' PNGs
    as true-colour input."""
    folder = os.path.join(ENV["CORPUS"], "write")
    with open(os.path.join(folder, "write.tsv"), encoding="utf-8") as f:
        table = [(name, kind, os.path.join(folder, name), os.path.join(folder, expected))
                 for name, kind, expected in (line.rstrip("\n").split("\t") for line in f
                                              if line.strip() and not line.startswith("#"))]
    for path, kind, _ in corpus_table():
        if kind == "ok":
            png = path[:-len(".tzf")] + ".png"
            table.append((os.path.basename(png), "golden", png, png))
    return table


def saved(image, **options):
    """The bytes Image.save writes for `image` to a file object."""
    out = io.BytesIO()
    image.save(out, "TZF", **options)
    return out.getvalue()


def read_back(test, data, what):
    """The saved picture as the plug-in reads it, checked against libtzf's
    own decoding of the whole data."""
    image = load(io.BytesIO(data))
    test.assertIsInstance(image, Image.Image, what)
    test.assertEqual(image.convert("RGB").tobytes(),
                     whole_data_rgb(data, image.width, image.height), what)
    return image


def over(image, background):
    """An image with alpha composited over an opaque colour, rounded to the
    nearest value: the pixels a 24-bit file of it holds."""
    if image.mode == "La":  # Pillow converts it to "LA" only
        image = image.convert("LA")
    pixels = image.convert("RGBA").tobytes()
    flat = bytearray()
    for i in range(0, len(pixels), 4):
        a = pixels[i + 3]
        flat += bytes((c * a + b * (255 - a) + 127) // 255
                      for c, b in zip(pixels[i:i + 3], background))
    return bytes(flat)


def colour_count(image):
    colours = image.convert("RGB").getcolors(256)
    return len(colours) if colours else None


class Writing(Case):
    """Every picture of the write corpus, saved at 8 and 24 bits and at the
    mode's own depth, read back by the plug-in and by libtzf:
      24 bits            exactly the expected pixels
      8 bits, <= 256     exactly the expected pixels; an indexed picture
      colours            keeps its indices and colour table
      8 bits, more       a chosen palette: close to the expected pixels"""

    def test_write_corpus(self):
        table = write_table()
        self.assertGreater(len(table), 13)
        kinds = set()
        for name, kind, source, expected_png in table:
            kinds.add(kind)
            with Image.open(source) as image, Image.open(expected_png) as expected:
                image.load()
                if kind == "golden":
                    image = image.convert("RGB")
                expected = expected.convert("RGB")
                exact_at_8 = colour_count(expected) is not None
                own_depth = 8 if image.mode in ("P", "L") else 24
                self.assertEqual(own_depth, 8 if kind == "palette" else 24, name)
                for bits in (None, 8, 24):
                    with self.subTest(name, bits=bits):
                        options = {} if bits is None else {"bits": bits}
                        data = saved(image, **options)
                        back = read_back(self, data, name)
                        self.assertEqual(back.mode, "P" if (bits or own_depth) == 8 else "RGB")
                        if bits == 24 or bits is None and own_depth == 24 or exact_at_8:
                            self.assertEqual(back.convert("RGB").tobytes(), expected.tobytes())
                        else:
                            self.assertLess(mean_error(back, expected), 16)
                        if kind == "palette" and back.mode == "P":
                            table_bytes = image.getpalette("RGB")
                            self.assertEqual(back.getpalette("RGB")[:len(table_bytes)],
                                             table_bytes)
                            self.assertEqual(back.tobytes(), image.tobytes())
        self.assertEqual(kinds, {"palette", "rgb", "rgba", "golden"})


def mean_error(image, expected):
    a, b = image.convert("RGB").tobytes(), expected.convert("RGB").tobytes()
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def gradient(mode, width=29, height=13):
    """An image of `mode` whose pixels vary in every channel and in alpha."""
    rgba = Image.frombytes("RGBA", (width, height), bytes(
        (x * 9 + c * 40 + y * 5) % 256 if c < 3 else (x * 17 + y * 3) % 256
        for y in range(height) for x in range(width) for c in range(4)))
    if mode == "PA":
        p = rgba.convert("RGB").quantize(40)
        return Image.merge("PA", (p, rgba.getchannel("A")))
    if mode == "La":
        return rgba.convert("LA").convert("La")
    return rgba.convert(mode)


def transparent_palette(transparency):
    image = gradient("RGB").quantize(30)
    image.info["transparency"] = transparency
    return image


class Saving(Case):
    def test_modes(self):
        # (image, mode read back, expected RGB pixels): opaque modes as
        # Pillow converts them to RGB, alpha composited over white.
        white = (255, 255, 255)
        short_table = Image.frombytes("P", (4, 2), bytes([0, 1, 2, 200, 1, 0, 7, 255]))
        short_table.putpalette([10, 20, 30, 40, 50, 60])
        cases = {
            "1": (gradient("L").convert("1"), "P", None),
            "L": (gradient("L"), "P", None),
            "P": (gradient("RGB").quantize(50), "P", None),
            "P past its table": (short_table, "P", None),
            "P with one transparent index": (transparent_palette(3), "P", white),
            "P with alpha per index": (transparent_palette(bytes(range(0, 256, 9))), "P", white),
            "RGB": (gradient("RGB"), "RGB", None),
            "RGBX": (gradient("RGBX"), "RGB", None),
            "CMYK": (gradient("CMYK"), "RGB", None),
            "YCbCr": (gradient("YCbCr"), "RGB", None),
            "RGBA": (gradient("RGBA"), "RGB", white),
            "RGBa": (gradient("RGBa"), "RGB", white),
            "LA": (gradient("LA"), "RGB", white),
            "La": (gradient("La"), "RGB", white),
            "PA": (gradient("PA"), "RGB", white),
        }
        for what, (image, mode, background) in cases.items():
            with self.subTest(what):
                path = self.path("mode.tzf")
                image.save(path)
                with open(path, "rb") as f:
                    back = read_back(self, f.read(), what)
                self.assertEqual(back.mode, mode)
                expected = (over(image, background) if background else
                            image.convert("RGB").tobytes())
                self.assertEqual(back.convert("RGB").tobytes(), expected)
                if image.mode == "L":  # a grey colour table
                    self.assertEqual(back.convert("L").tobytes(), image.tobytes())

    def test_background(self):
        with Image.open(os.path.join(ENV["CORPUS"], "write", "rgba_disc_64x48.png")) as image:
            image.load()
        for background, rgb in [((10, 200, 30), (10, 200, 30)), ([0, 0, 0], (0, 0, 0)),
                                ("navy", (0, 0, 128)), ("#fedcba", (0xFE, 0xDC, 0xBA))]:
            for bits in (8, 24):
                with self.subTest(background, bits=bits):
                    back = read_back(self, saved(image, background=background, bits=bits),
                                     background)
                    expected = over(image, rgb)
                    if bits == 24 or colour_count(Image.frombytes("RGB", image.size,
                                                                   expected)):
                        self.assertEqual(back.convert("RGB").tobytes(), expected)

    def test_file_objects_and_names(self):
        # A path, an open file and a file object in memory get the same
        # bytes; ".tzf" picks the format.
        image = gradient("RGB", 50, 20)
        image.save(self.path("named.tzf"))
        with open(self.path("open.bin"), "wb") as f:
            image.save(f, "TZF")
        with open(self.path("named.tzf"), "rb") as f:
            named = f.read()
        with open(self.path("open.bin"), "rb") as f:
            self.assertEqual(f.read(), named)
        self.assertEqual(saved(image), named)
        self.assertEqual(read_back(self, named, "named").tobytes(), image.tobytes())

    def test_effort_and_dither(self):
        with Image.open(os.path.join(ENV["CORPUS"], "write", "rgb_scene_320x200.png")) as image:
            image.load()
        # Both efforts decode to the same pixels; the smallest is never the
        # larger file, and the default.
        for bits in (8, 24):
            with self.subTest(bits=bits):
                smallest = saved(image, bits=bits, effort="smallest")
                fast = saved(image, bits=bits, effort="fast")
                self.assertEqual(saved(image, bits=bits), smallest)
                self.assertLessEqual(len(smallest), len(fast))
                self.assertEqual(read_back(self, smallest, "smallest").tobytes(),
                                 read_back(self, fast, "fast").tobytes())
        # Dithering is the default, and changes which entries the pixels take.
        self.assertIsNone(colour_count(image))
        dithered = saved(image, bits=8, dither=True)
        plain = saved(image, bits=8, dither=False)
        self.assertEqual(saved(image, bits=8), dithered)
        self.assertNotEqual(read_back(self, dithered, "dithered").tobytes(),
                            read_back(self, plain, "plain").tobytes())

    def test_errors(self):
        # (image, options, exception, words): nothing is written.
        rgb = gradient("RGB", 4, 4)
        status = tzf_pillow._status_text
        cases = [
            (Image.new("F", (4, 4)), {}, OSError, "cannot write mode F as TZF"),
            (Image.new("I;16", (4, 4)), {}, OSError, "cannot write mode I;16 as TZF"),
            (Image.new("I", (4, 4)), {}, OSError, "cannot write mode I as TZF"),
            (rgb, {"effort": "medium"}, ValueError, "TZF effort must be"),
            (rgb, {"effort": 1}, ValueError, "TZF effort must be"),
            (rgb, {"bits": 16}, ValueError, "TZF bits must be 8 or 24"),
            (rgb, {"bits": True}, ValueError, "TZF bits must be 8 or 24"),
            (rgb, {"dither": "yes"}, ValueError, "TZF dither must be"),
            (rgb, {"background": (256, 0, 0)}, ValueError, "TZF background must be"),
            (rgb, {"background": (1, 2)}, ValueError, "TZF background must be"),
            (rgb, {"background": "no such colour"}, ValueError, "unknown color specifier"),
            (Image.new("RGB", (0, 3)), {}, ValueError, status(abi.TZF_ERROR_BAD_SIZE)),
            (Image.new("L", ((1 << 20) + 1, 1)), {}, OSError, status(abi.TZF_ERROR_TOO_LARGE)),
        ]
        for image, options, error, words in cases:
            with self.subTest(image.mode, size=image.size, **options):
                path = self.path("bad.tzf")
                with self.assertRaises(error) as raised:
                    image.save(path, **options)
                self.assertIn(words, str(raised.exception))
                self.assertFalse(os.path.exists(path))


class Installation(Case):
    def test_install_component_under_a_prefix(self):
        run(ENV["CMAKE"], "--install", ENV["BUILD_DIR"], "--prefix", self.folder,
            "--component", "python")
        installed = self.path("lib/python3/dist-packages")
        self.assertEqual(sorted(os.listdir(installed)), ["_tzf_abi.py", "tzf_pillow.py"])
        self.assertTrue(filecmp.cmp(os.path.join(installed, "_tzf_abi.py"), ENV["BINDING"],
                                    shallow=False))
        out = python("import tzf_pillow; from PIL import Image; print(tzf_pillow.__file__, "
                     f"Image.open({ENV['SAMPLE']!r}).convert('L').size)", PYTHONPATH=installed)
        self.assertEqual(out.stdout.decode(), installed + "/tzf_pillow.py (640, 360)\n",
                         out.stderr)


if __name__ == "__main__":
    unittest.main()
