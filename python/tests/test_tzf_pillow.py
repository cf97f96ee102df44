#!/usr/bin/python3
"""Tests of the Pillow plug-in, used the way a Python program uses it:
`import tzf_pillow`, then PIL.Image.open on .tzf files.

The pictures are made here: PNGs written with Pillow, turned into TZF files
by the built tzfenc. The expected pixels are tzfconv's PNG output for the
same file, read back with Pillow. CTest passes the paths in the environment
(see python/CMakeLists.txt) and runs one test class per entry.
"""
import ctypes
import io
import os
import random
import struct
import subprocess
import sys
import tempfile
import unittest

from PIL import Image, UnidentifiedImageError

import tzf_pillow

TZFENC = os.environ.get("TZF_TEST_TZFENC", "")
TZFCONV = os.environ.get("TZF_TEST_TZFCONV", "")
LAYOUT = os.environ.get("TZF_TEST_LAYOUT", "")
SAMPLE = os.environ.get("TZF_TEST_SAMPLE", "")
CMAKE = os.environ.get("TZF_TEST_CMAKE", "")
BUILD_DIR = os.environ.get("TZF_TEST_BUILD_DIR", "")


def run(*args):
    result = subprocess.run([str(a) for a in args], capture_output=True, timeout=120)
    if result.returncode != 0:
        raise AssertionError(f"{args} exited with {result.returncode}: "
                             f"{result.stderr.decode(errors='replace')}")
    return result


# --- pictures ---------------------------------------------------------------


def palette256(seed):
    """768 palette bytes with 256 distinct colours."""
    rng = random.Random(seed)
    colours = set()
    table = []
    while len(table) < 256:
        colour = (rng.randrange(256), rng.randrange(256), rng.randrange(256))
        if colour not in colours:
            colours.add(colour)
            table.append(colour)
    return bytes(c for colour in table for c in colour)


def indices(width, height, seed):
    """Palette indices with flat areas, repeated rows, gradients and noise, so
    that the encoder uses back-references of several kinds and literals."""
    rng = random.Random(seed)
    rows = []
    for y in range(height):
        row = bytearray(width)
        for x in range(width):
            region = (x // 5 + y // 3 + seed) % 4
            if region == 0:
                row[x] = (x * 7 + y * 3) & 0xFF
            elif region == 1 and y > 0:
                row[x] = rows[y - 1][x]
            elif region == 2:
                row[x] = rng.randrange(256)
            else:
                row[x] = (seed * 31) & 0xFF
        rows.append(row)
    return b"".join(rows)


def write_png(path, width, height, depth, seed):
    """A paletted (depth 8) or RGB (depth 24) PNG; returns its RGB image."""
    index_bytes = indices(width, height, seed)
    palette = palette256(seed)
    image = Image.frombytes("P", (width, height), index_bytes)
    image.putpalette(palette)
    if depth == 24:
        # Perturb the colours so that the picture has more than 256 of them.
        rgb = bytearray(image.convert("RGB").tobytes())
        rng = random.Random(seed + 1)
        for i in range(0, len(rgb), 7):
            rgb[i] = rng.randrange(256)
        image = Image.frombytes("RGB", (width, height), bytes(rgb))
    image.save(path, "PNG")
    return image.convert("RGB")


def tzf_header(width, height, depth, version=3, flag_length=0, command_length=0):
    header = bytearray(64)
    header[0:4] = b"TZF\0"
    struct.pack_into("<I", header, 4, version)
    struct.pack_into("<i", header, 8, 64)
    struct.pack_into("<i", header, 12, width)
    struct.pack_into("<i", header, 16, height)
    struct.pack_into("<h", header, 24, depth)
    struct.pack_into("<i", header, 40, 1088 if depth == 8 else 64)
    struct.pack_into("<I", header, 48, flag_length)
    struct.pack_into("<I", header, 52, command_length)
    return bytes(header)


class Workspace(unittest.TestCase):
    """A temporary folder per test class."""

    @classmethod
    def setUpClass(cls):
        cls._folder = tempfile.TemporaryDirectory(prefix="tzf-pillow-")
        cls.folder = cls._folder.name

    @classmethod
    def tearDownClass(cls):
        cls._folder.cleanup()

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def make_tzf(self, name, width, height, depth, seed):
        """Writes NAME.png and NAME.tzf; returns (tzf path, PNG's RGB image)."""
        png = self.path(name + ".png")
        source = write_png(png, width, height, depth, seed)
        tzf = self.path(name + ".tzf")
        run(TZFENC, "--depth", depth, png, tzf)
        return tzf, source

    def reference(self, tzf):
        """tzfconv's PNG of a TZF file, loaded."""
        out = self.path(os.path.basename(tzf) + ".ref.png")
        run(TZFCONV, tzf, out)
        with Image.open(out) as image:
            image.load()
            return image.copy()

    def assert_same_pixels(self, image, reference, what):
        self.assertEqual(image.size, reference.size, what)
        self.assertEqual(image.mode, reference.mode, what)
        if image.mode == "P":
            self.assertEqual(image.getpalette()[:768], reference.getpalette()[:768] +
                             [0] * (768 - len(reference.getpalette()[:768])), what)
        if image.tobytes() != reference.tobytes():
            got, want = image.tobytes(), reference.tobytes()
            first = next(i for i in range(min(len(got), len(want))) if got[i] != want[i])
            per_pixel = 1 if image.mode == "P" else 3
            x = first // per_pixel % image.size[0]
            y = first // per_pixel // image.size[0]
            self.fail(f"{what}: first differing pixel at ({x}, {y})")


# --- tests ------------------------------------------------------------------


class Layout(unittest.TestCase):
    """The ctypes record is struct tzf_info as the C compiler lays it out."""

    def test_fields_match_the_c_struct(self):
        lines = run(LAYOUT).stdout.decode().split("\n")
        c_layout = {}
        for line in filter(None, lines):
            name, offset, size = line.split()
            c_layout[name] = (int(offset), int(size))
        record = tzf_pillow.TzfInfo
        self.assertEqual(c_layout.pop("sizeof")[0], ctypes.sizeof(record))
        py_layout = {name: (getattr(record, name).offset, getattr(record, name).size)
                     for name, _ in record._fields_}
        self.assertEqual(py_layout, c_layout)

    def test_library_is_the_built_one(self):
        self.assertRegex(tzf_pillow.library_version(), r"^\d+\.\d+\.\d+$")


class Registration(Workspace):
    """What Pillow knows about the format after `import tzf_pillow`."""

    def test_registered_names(self):
        self.assertIn("TZF", Image.OPEN)
        self.assertEqual(Image.registered_extensions().get(".tzf"), "TZF")
        self.assertEqual(Image.MIME.get("TZF"), "image/x-tzf")
        self.assertIn("tzf", Image.DECODERS)

    def test_accept_applies_the_librarys_rule(self):
        # Pillow hands the registered check the file's first 16 bytes; longer
        # prefixes get the whole rule.
        accept = Image.OPEN["TZF"][1]
        good = tzf_header(4, 3, 24)
        cases = [
            (good[:16], True),
            (good, True),
            (tzf_header(4, 3, 8), True),
            (good[:41], True),
            (b"\x89PNG\r\n\x1a\n" + bytes(8), False),
            (b"TZF\0"[:3], False),
            (b"TZG\0" + good[4:16], False),
            (tzf_header(4, 3, 24, version=4), False),
            (tzf_header(4, 3, 24)[:24] + b"\x10\0" + good[26:], False),
        ]
        for prefix, expected in cases:
            with self.subTest(prefix=prefix[:8]):
                self.assertEqual(bool(accept(prefix)), expected)

    def test_opened_image_reports_format_and_mime_type(self):
        with Image.open(SAMPLE) as image:
            self.assertEqual(image.format, "TZF")
            self.assertEqual(image.format_description, "TZF picture")
            self.assertEqual(image.get_format_mimetype(), "image/x-tzf")

    def test_found_by_content_not_by_name(self):
        with open(SAMPLE, "rb") as f:
            data = f.read()
        path = self.write("sample.bin", data)
        with Image.open(path) as image:
            self.assertEqual(image.format, "TZF")
        with Image.open(io.BytesIO(data), formats=["TZF"]) as image:
            self.assertEqual(image.size, (640, 360))

    def test_default_library_is_found_by_soname(self):
        # As installed: no TZF_LIBRARY, the library where the loader looks.
        env = dict(os.environ)
        library_dir = os.path.dirname(env.pop("TZF_LIBRARY"))
        self.assertTrue(os.path.exists(os.path.join(library_dir, "libtzf.so.0")))
        env["LD_LIBRARY_PATH"] = library_dir
        script = ("import tzf_pillow; from PIL import Image;"
                  "im = Image.open(%r); im.load(); print(im.size)" % SAMPLE)
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.strip(), b"(640, 360)")

    def test_missing_library_fails_the_import(self):
        env = dict(os.environ, TZF_LIBRARY=self.path("no-such-libtzf.so.0"))
        out = subprocess.run([sys.executable, "-c", "import tzf_pillow"], env=env,
                             capture_output=True, timeout=60)
        self.assertNotEqual(out.returncode, 0)
        self.assertIn(b"ImportError", out.stderr)
        self.assertIn(b"no-such-libtzf.so.0", out.stderr)


# (name, width, height, depth): both depths, odd widths, single rows and
# columns, a width that is a multiple of eight and one past it.
PICTURES = [
    ("p8_1x1", 1, 1, 8),
    ("p8_7x5", 7, 5, 8),
    ("p8_33x17", 33, 17, 8),
    ("p8_64x9", 64, 9, 8),
    ("p8_1x40", 1, 40, 8),
    ("p8_97x41", 97, 41, 8),
    ("p24_1x1", 1, 1, 24),
    ("p24_3x2", 3, 2, 24),
    ("p24_31x19", 31, 19, 24),
    ("p24_65x33", 65, 33, 24),
    ("p24_101x7", 101, 7, 24),
    ("p24_40x1", 40, 1, 24),
]


class Pixels(Workspace):
    """Open, load and convert equal tzfconv's pixels."""

    def test_pictures_equal_tzfconv_and_the_source(self):
        for seed, (name, width, height, depth) in enumerate(PICTURES):
            with self.subTest(name):
                tzf, source = self.make_tzf(name, width, height, depth, seed)
                reference = self.reference(tzf)
                with Image.open(tzf) as image:
                    self.assertEqual(image.format, "TZF")
                    self.assertEqual(image.mode, "P" if depth == 8 else "RGB")
                    self.assertEqual(image.size, (width, height))
                    image.load()
                    self.assert_same_pixels(image, reference, name)
                    rgb = image.convert("RGB")
                self.assertEqual(rgb.tobytes(), reference.convert("RGB").tobytes(), name)
                # tzfenc keeps every colour, so the source comes back too.
                self.assertEqual(rgb.tobytes(), source.tobytes(), name)

    def test_palette_is_the_files_palette(self):
        tzf, _ = self.make_tzf("palette", 19, 11, 8, 77)
        with Image.open(tzf) as image:
            # Known from the header and colour table, before any pixel.
            self.assertEqual(bytes(image.getpalette()), palette256(77))
        self.assertEqual(bytes(self.reference(tzf).getpalette()), palette256(77))

    def test_sample(self):
        reference = self.reference(SAMPLE)
        with Image.open(SAMPLE) as image:
            self.assertEqual((image.mode, image.size), ("RGB", (640, 360)))
            self.assert_same_pixels(image.convert("RGB"), reference, "sample")

    def test_file_object_and_bytes_io(self):
        tzf, _ = self.make_tzf("fileobj", 23, 13, 24, 5)
        reference = self.reference(tzf)
        with open(tzf, "rb") as f:
            with Image.open(f) as image:
                image.load()
                self.assert_same_pixels(image, reference, "file object")
            with open(tzf, "rb") as g:
                data = g.read()
        with Image.open(io.BytesIO(data)) as image:
            self.assert_same_pixels(image.convert("RGB"), reference, "BytesIO")

    def test_image_methods_after_open(self):
        tzf, source = self.make_tzf("methods", 21, 9, 8, 12)
        with Image.open(tzf) as image:
            self.assertEqual(image.getpixel((0, 0)), self.reference(tzf).getpixel((0, 0)))
        with Image.open(tzf) as image:
            self.assertEqual(image.crop((3, 2, 10, 8)).convert("RGB").tobytes(),
                             source.crop((3, 2, 10, 8)).tobytes())
        with Image.open(tzf) as image:
            thumb = image.copy()
        self.assertEqual(thumb.convert("RGB").tobytes(), source.tobytes())


class CountingFile(io.BytesIO):
    """Counts the bytes read and the highest position reached."""

    def __init__(self, data):
        super().__init__(data)
        self.bytes_read = 0
        self.furthest = 0

    def read(self, size=-1):
        data = super().read(size)
        self.bytes_read += len(data)
        self.furthest = max(self.furthest, self.tell())
        return data

    def readinto(self, buffer):
        count = super().readinto(buffer)
        self.bytes_read += count
        self.furthest = max(self.furthest, self.tell())
        return count


class Laziness(Workspace):
    """Opening reads the header and the colour table only."""

    def test_open_reads_the_header_only(self):
        cases = [("lazy8", 160, 120, 8, 1088), ("lazy24", 160, 120, 24, 1088)]
        for name, width, height, depth, most in cases:
            with self.subTest(name):
                tzf, _ = self.make_tzf(name, width, height, depth, 3)
                with open(tzf, "rb") as f:
                    data = f.read()
                self.assertGreater(len(data), 4 * most)
                counting = CountingFile(data)
                image = Image.open(counting)
                self.assertEqual(image.size, (width, height))
                self.assertLessEqual(counting.furthest, most)
                # Pillow itself reads 16 bytes to find the format first.
                self.assertLessEqual(counting.bytes_read, most + 16)
                image.load()
                self.assertEqual(counting.furthest, len(data))
                self.assert_same_pixels(image, self.reference(tzf), name)

    def test_load_reads_no_more_than_a_picture_can_use(self):
        tzf, _ = self.make_tzf("padded", 9, 7, 24, 4)
        with open(tzf, "rb") as f:
            data = f.read()
        limit = tzf_pillow.read_limit(9, 7)
        self.assertEqual(limit, 64 + 1024 + 8 + 21 + 189)
        padded = CountingFile(data + bytes(1 << 20))
        with Image.open(padded) as image:
            image.load()
            self.assertLessEqual(padded.furthest, limit)
            self.assertEqual(image.tobytes(), self.reference(tzf).tobytes())


def bad_header_cases():
    """(name, bytes, expectation): 'unidentified' when Image.open must fail
    with UnidentifiedImageError, 'size' when it must fail with another OSError
    (a TZF picture that no image can hold), 'bomb' when it must raise
    DecompressionBombError."""
    good24 = tzf_header(4, 3, 24)
    return [
        ("empty", b"", "unidentified"),
        ("text", b"hello, this is not a picture\n" * 40, "unidentified"),
        ("random", bytes(random.Random(9).randrange(256) for _ in range(3000)), "unidentified"),
        ("magic only", b"TZF\0", "unidentified"),
        ("magic and zeros", b"TZF\0" + bytes(2000), "unidentified"),
        ("version 1", tzf_header(4, 3, 24, version=1) + bytes(40), "unidentified"),
        ("version 4", tzf_header(4, 3, 24, version=4) + bytes(40), "unidentified"),
        ("16 bits", good24[:24] + struct.pack("<h", 16) + good24[26:], "unidentified"),
        ("8 bits, true-colour offset",
         good24[:24] + struct.pack("<h", 8) + good24[26:] + bytes(2000), "unidentified"),
        ("header length 40", good24[:8] + struct.pack("<i", 40) + good24[12:], "unidentified"),
        ("wrong magic", b"TZG\0" + good24[4:] + bytes(100), "unidentified"),
        ("width 0", tzf_header(0, 3, 24) + bytes(100), "size"),
        ("height 0", tzf_header(5, 0, 8) + bytes(1100), "size"),
        ("width -1", tzf_header(-1, 3, 24) + bytes(100), "size"),
        ("height -7", tzf_header(3, -7, 24) + bytes(100), "size"),
        ("65535 x 65535", tzf_header(65535, 65535, 24) + bytes(100), "bomb"),
        ("65535 x 65535, 8-bit", tzf_header(65535, 65535, 8) + bytes(1024), "bomb"),
        ("2^31-1 x 2^31-1", tzf_header(0x7FFFFFFF, 0x7FFFFFFF, 24), "bomb"),
    ]


class BadFiles(Workspace):
    """Hostile and broken files fail with Pillow's errors, never crash."""

    def test_bad_headers(self):
        for name, data, expectation in bad_header_cases():
            with self.subTest(name):
                path = self.write("bad.tzf", data)
                if expectation == "unidentified":
                    with self.assertRaises(UnidentifiedImageError):
                        Image.open(path)
                    with self.assertRaises(UnidentifiedImageError):
                        Image.open(path, formats=["TZF"])
                elif expectation == "size":
                    with self.assertRaises(OSError) as raised:
                        Image.open(path)
                    self.assertNotIsInstance(raised.exception, UnidentifiedImageError)
                    self.assertIn("TZF", str(raised.exception))
                else:
                    with self.assertRaises(Image.DecompressionBombError):
                        Image.open(path)

    def test_hostile_size_allocates_nothing_large(self):
        # In a process that cannot map more than 1 GiB, a header asking for
        # 4 or 13 GB fails cleanly at open; and with Pillow's limit raised
        # just enough, load decodes a 10000 x 10000 picture from 64 bytes.
        path = self.write("huge.tzf", tzf_header(65535, 65535, 24) + bytes(100))
        big = self.write("big.tzf", tzf_header(10000, 10000, 8))
        script = f"""
import resource
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import tzf_pillow
from PIL import Image
try:
    Image.open({path!r})
except Image.DecompressionBombError:
    print("bomb")
Image.MAX_IMAGE_PIXELS = 10000 * 10000
with Image.open({big!r}) as im:
    im.load()
    print(im.size, im.getextrema())
"""
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.split(b"\n")[:2], [b"bomb", b"(10000, 10000) (0, 0)"])

    def test_short_header_reads_as_zeros(self):
        # 41 bytes hold every field that is checked; the rest reads as zero.
        path = self.write("short.tzf", tzf_header(6, 5, 24)[:41])
        with Image.open(path) as image:
            self.assertEqual((image.mode, image.size), ("RGB", (6, 5)))
            self.assertEqual(image.tobytes(), bytes(6 * 5 * 3))

    def test_truncated_files_equal_tzfconv(self):
        for depth in (8, 24):
            tzf, _ = self.make_tzf(f"whole{depth}", 37, 23, depth, 21)
            with open(tzf, "rb") as f:
                data = f.read()
            start = 1088 if depth == 8 else 64
            literals = start + sum(struct.unpack_from("<II", data, 48))
            self.assertLess(literals + 10, len(data))
            cuts = (start, start + 1, literals - 1, literals + 1, (literals + len(data)) // 2,
                    len(data) - 1)
            for cut in cuts:
                with self.subTest(depth=depth, cut=cut):
                    path = self.write(f"cut{depth}_{cut}.tzf", data[:cut])
                    reference = self.reference(path)
                    with Image.open(path) as image:
                        image.load()
                        self.assert_same_pixels(image, reference, f"cut at {cut}")
                        if cut > literals:
                            self.assertTrue(any(image.tobytes()), f"cut at {cut}")

    def test_declared_stream_lengths_past_the_data(self):
        tzf, _ = self.make_tzf("streams", 13, 9, 24, 2)
        with open(tzf, "rb") as f:
            data = bytearray(f.read())
        for flags, commands in ((0xFFFFFFFF, 0), (0, 0xFFFFFFFF), (0xFFFFFFFF, 0xFFFFFFFF),
                                (len(data), 3)):
            with self.subTest(flags=flags, commands=commands):
                struct.pack_into("<II", data, 48, flags, commands)
                path = self.write(f"streams_{flags}_{commands}.tzf", bytes(data))
                with Image.open(path) as image:
                    image.load()
                    self.assert_same_pixels(image, self.reference(path), "streams")


class RandomTails(Workspace):
    """Random bytes after a valid header decode as tzfconv decodes them."""

    CASES = 300

    def test_random_bytes_after_valid_headers(self):
        rng = random.Random(20240)
        folder = self.path("random")
        os.makedirs(folder)
        names = []
        for case in range(self.CASES):
            depth = rng.choice((8, 24))
            width, height = rng.randint(1, 40), rng.randint(1, 24)
            pixels = width * height
            flag_length = rng.choice((0, (pixels + 7) // 8, rng.randrange(200)))
            command_length = rng.choice((0, rng.randrange(100), rng.randrange(400)))
            tail = bytes(rng.randrange(256) for _ in range(rng.randrange(3 * pixels + 1200)))
            if rng.random() < 0.3:
                # Mostly flags set and small bytes: many back-references.
                tail = bytes(b | 0xF0 if i % 3 == 0 else b & 0x1F for i, b in enumerate(tail))
            data = tzf_header(width, height, depth, rng.choice((2, 3)), flag_length,
                              command_length) + tail
            name = f"r{case:03d}"
            with open(os.path.join(folder, name + ".tzf"), "wb") as f:
                f.write(data)
            names.append((name, depth, width, height))
        out = self.path("random-png")
        run(TZFCONV, "-o", out, folder)
        for name, depth, width, height in names:
            with self.subTest(name):
                with Image.open(os.path.join(folder, name + ".tzf")) as image:
                    self.assertEqual(image.size, (width, height))
                    image.load()
                    with Image.open(os.path.join(out, name + ".png")) as reference:
                        reference.load()
                        self.assert_same_pixels(image, reference, name)


class Installation(Workspace):
    """`cmake --install --component python` puts a working module under the prefix."""

    def test_install_under_a_prefix(self):
        prefix = self.path("prefix")
        run(CMAKE, "--install", BUILD_DIR, "--prefix", prefix, "--component", "python")
        installed = os.path.join(prefix, "lib", "python3", "dist-packages")
        self.assertEqual(os.listdir(installed), ["tzf_pillow.py"])
        env = dict(os.environ, PYTHONPATH=installed)
        script = ("import tzf_pillow; from PIL import Image;"
                  "print(tzf_pillow.__file__); print(Image.open(%r).convert('L').size)" % SAMPLE)
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             timeout=60, cwd=self.folder)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.split(b"\n")[:2],
                         [os.path.join(installed, "tzf_pillow.py").encode(), b"(640, 360)"])


if __name__ == "__main__":
    unittest.main()
