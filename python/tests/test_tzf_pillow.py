#!/usr/bin/python3
"""Tests of the Pillow plug-in as a program uses it: `import tzf_pillow`, then
PIL.Image.open. Pictures are PNGs written here with Pillow and encoded by the
built tzfenc; the expected pixels are the built tzfconv's PNG output, read back
with Pillow. CTest passes the paths in the environment and runs one class per
test (see python/CMakeLists.txt)."""
import ctypes
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from PIL import Image, UnidentifiedImageError

import tzf_pillow

ENV = {name: os.environ.get("TZF_TEST_" + name, "")
       for name in ("TZFENC", "TZFCONV", "LAYOUT", "SAMPLE", "CMAKE", "BUILD_DIR")}


def run(*args):
    result = subprocess.run([str(a) for a in args], capture_output=True, timeout=120)
    assert result.returncode == 0, (args, result.stderr)
    return result.stdout


def python(script, **env):
    return subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120,
                          env=dict(os.environ, **env))


def header(width, height, depth, version=3, flags=0, commands=0):
    return (b"TZF\0" + struct.pack("<Iiii4xh14xi4xII8x", version, 64, width, height, depth,
                                   1088 if depth == 8 else 64, flags, commands))


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
    furthest = 0

    def read(self, size=-1):
        data = super().read(size)
        self.furthest = max(self.furthest, self.tell())
        return data


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

    def assert_like_tzfconv(self, image, tzf, reference=None):
        if reference is None:
            reference = self.path(os.path.basename(tzf) + ".png")
            run(ENV["TZFCONV"], tzf, reference)
        with Image.open(reference) as expected:
            self.assertEqual((image.mode, image.size), (expected.mode, expected.size), tzf)
            if image.mode == "P":
                self.assertEqual(image.getpalette(), expected.getpalette(), tzf)
            self.assertEqual(image.tobytes(), expected.tobytes(), tzf)
            self.assertEqual(image.convert("RGB").tobytes(), expected.convert("RGB").tobytes())


class Layout(Case):
    def test_ctypes_record_is_the_c_struct(self):
        c_side = {name: (int(offset), int(size)) for name, offset, size in
                  (line.split() for line in run(ENV["LAYOUT"]).decode().splitlines())}
        record = tzf_pillow.TzfInfo
        self.assertEqual(c_side.pop("sizeof")[0], ctypes.sizeof(record))
        self.assertEqual(c_side, {name: (getattr(record, name).offset, getattr(record, name).size)
                                  for name, _ in record._fields_})


class Registration(Case):
    def test_names_and_acceptance(self):
        self.assertEqual(Image.registered_extensions()[".tzf"], "TZF")
        self.assertEqual(Image.MIME["TZF"], "image/x-tzf")
        with Image.open(ENV["SAMPLE"]) as image:
            self.assertEqual((image.format, image.get_format_mimetype()), ("TZF", "image/x-tzf"))
        accept = Image.OPEN["TZF"][1]  # Pillow hands it the first 16 bytes
        good = header(4, 3, 24)
        for prefix, expected in [(good[:16], True), (good, True), (header(4, 3, 8), True),
                                 (b"\x89PNG\r\n\x1a\n" + bytes(8), False), (b"TZF", False),
                                 (b"TZG\0" + good[4:], False), (header(4, 3, 24, 4), False),
                                 (header(4, 3, 16), False)]:
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
    def test_pictures_equal_tzfconv(self):
        # Both depths, odd widths, one row, one column, and the sample.
        for name, width, height, depth in [
                ("a", 1, 1, 8), ("b", 7, 5, 8), ("c", 33, 17, 8), ("d", 1, 40, 8),
                ("e", 97, 41, 8), ("f", 1, 1, 24), ("g", 3, 2, 24), ("h", 31, 19, 24),
                ("i", 40, 1, 24), ("j", 101, 37, 24), ("sample", 640, 360, 24)]:
            with self.subTest(name):
                if name == "sample":
                    tzf = ENV["SAMPLE"]
                    with open(tzf, "rb") as f:
                        data = f.read()
                else:
                    data = self.make_tzf(name, width, height, depth, seed=width)
                    tzf = self.path(name)
                # Opening reads the header and colour table only; loading no
                # more than a picture of that size can use, however long the file.
                counting = CountingFile(data + bytes(4096))
                image = Image.open(counting)
                self.assertEqual((image.format, image.size), ("TZF", (width, height)))
                self.assertEqual(image.mode, "P" if depth == 8 else "RGB")
                self.assertLessEqual(counting.furthest, 1088)
                image.load()
                self.assertLessEqual(counting.furthest, tzf_pillow.read_limit(width, height))
                self.assertGreaterEqual(counting.furthest, len(data))
                self.assert_like_tzfconv(image, tzf)
                if name != "sample":  # tzfenc keeps every colour
                    with Image.open(self.path(name + ".png")) as source:
                        self.assertEqual(image.convert("RGB").tobytes(),
                                         source.convert("RGB").tobytes())


class BadFiles(Case):
    def test_rejected_at_open(self):
        rng = random.Random(9)
        for data, error in [
                (b"", UnidentifiedImageError), (b"hello\n" * 300, UnidentifiedImageError),
                (bytes(rng.randrange(256) for _ in range(3000)), UnidentifiedImageError),
                (b"TZF\0" + bytes(2000), UnidentifiedImageError),
                (header(4, 3, 24, version=4) + bytes(40), UnidentifiedImageError),
                (header(4, 3, 24, version=1) + bytes(40), UnidentifiedImageError),
                (header(0, 3, 24) + bytes(100), OSError), (header(5, 0, 8) + bytes(2000), OSError),
                (header(-1, 3, 24), OSError), (header(3, -7, 24), OSError),
                (header(65535, 65535, 24), Image.DecompressionBombError),
                (header(65535, 65535, 8) + bytes(1024), Image.DecompressionBombError),
                (header(2 ** 31 - 1, 2 ** 31 - 1, 24), Image.DecompressionBombError)]:
            with self.subTest(data[:20]):
                with self.assertRaises(error) as raised:
                    Image.open(self.path("bad.tzf", data))
                if error is OSError:  # a TZF picture that no image can hold
                    self.assertNotIsInstance(raised.exception, UnidentifiedImageError)

    def test_hostile_sizes_allocate_nothing_large(self):
        # In a process that cannot map more than 1 GiB: a header asking for
        # 13 GB fails at open, and a 10000 x 10000 one decodes from 64 bytes.
        out = python(f"""
import resource; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import tzf_pillow; from PIL import Image
try: Image.open({self.path("huge.tzf", header(65535, 65535, 24))!r})
except Image.DecompressionBombError: print("bomb")
Image.MAX_IMAGE_PIXELS = 10 ** 8
im = Image.open({self.path("big.tzf", header(10000, 10000, 8))!r}); im.load()
print(im.size, im.getextrema())""")
        self.assertEqual(out.stdout, b"bomb\n(10000, 10000) (0, 0)\n", out.stderr)

    def test_truncated_and_misdeclared_files_equal_tzfconv(self):
        for depth in (8, 24):
            data = self.make_tzf(f"whole{depth}", 37, 23, depth)
            start = 1088 if depth == 8 else 64
            literals = start + sum(struct.unpack_from("<II", data, 48))
            variants = [data[:cut] for cut in (start, start + 1, literals - 1, literals + 1,
                                                (literals + len(data)) // 2, len(data) - 1)]
            for flags, commands in ((2 ** 32 - 1, 0), (0, 2 ** 32 - 1), (len(data), 3)):
                variants.append(data[:48] + struct.pack("<II", flags, commands) + data[56:])
            if depth == 24:
                # Streams declared longer than used, with the last flag byte a
                # picture can use (10 x 8: literals, then a run at pixel 77)
                # and the most commands (7 x 3: four literals, six runs).
                rng = random.Random(3)
                literals = bytes(rng.randrange(1, 256) for _ in range(77 * 3))
                variants += [header(10, 8, 24, 3, 14, 5) + bytes(9) + b"\x04" + b"\xff" * 4
                             + b"\x70" + b"\xff" * 4 + literals,
                             header(7, 3, 24, 3, 5, 10) + b"\x0f\xc0\xff\xff\xff" +
                             b"\x90" * 6 + b"\x7f" * 4 + literals[:12]]
            for i, variant in enumerate(variants):
                with self.subTest(depth=depth, variant=i):
                    tzf = self.path(f"v{depth}_{i}.tzf", variant)
                    with Image.open(tzf) as image:
                        image.load()
                        self.assert_like_tzfconv(image, tzf)


class RandomTails(Case):
    def test_random_bytes_after_valid_headers_decode_like_tzfconv(self):
        rng = random.Random(20240)
        os.mkdir(self.path("in"))
        for case in range(300):
            width, height = rng.randint(1, 40), rng.randint(1, 24)
            tail = bytes(rng.randrange(256) for _ in range(rng.randrange(3 * width * height
                                                                         + 1200)))
            if case % 3 == 0:  # mostly flags set and small commands: many back-references
                tail = bytes(b | 0xF0 if i % 3 else b & 0x1F for i, b in enumerate(tail))
            self.path(f"in/{case:03}.tzf", header(
                width, height, rng.choice((8, 24)), rng.choice((2, 3)),
                rng.choice((0, width * height // 8 + 1, rng.randrange(200))),
                rng.choice((0, rng.randrange(400)))) + tail)
        run(ENV["TZFCONV"], "-o", self.path("out"), self.path("in"))
        for case in range(300):
            with self.subTest(case), Image.open(self.path(f"in/{case:03}.tzf")) as image:
                image.load()
                self.assert_like_tzfconv(image, image.filename, self.path(f"out/{case:03}.png"))


class Installation(Case):
    def test_install_component_under_a_prefix(self):
        run(ENV["CMAKE"], "--install", ENV["BUILD_DIR"], "--prefix", self.folder,
            "--component", "python")
        installed = self.path("lib/python3/dist-packages")
        self.assertEqual(os.listdir(installed), ["tzf_pillow.py"])
        out = python("import tzf_pillow; from PIL import Image; print(tzf_pillow.__file__, "
                     f"Image.open({ENV['SAMPLE']!r}).convert('L').size)", PYTHONPATH=installed)
        self.assertEqual(out.stdout.decode(), installed + "/tzf_pillow.py (640, 360)\n",
                         out.stderr)


if __name__ == "__main__":
    unittest.main()
