"""The TZF coder module as ImageMagick's users meet it: the real convert and
identify, pointed at the build tree's module (MAGICK_CODER_MODULE_PATH) and
magic.xml (MAGICK_CONFIGURE_PATH).

Every picture of the golden corpus (tests/corpus/expected.tsv) is read and
compared exactly with its PNG, or must fail with ImageMagick's own error;
every picture of the write corpus (tests/corpus/write/write.tsv) and every
`ok` picture's PNG is written, read back through convert and through libtzf
(ctypes) and compared exactly. Pipes, detection by content, the write
options and ImageMagick's resource limits and policies on a small file that
declares a large picture are checked too."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import libtzf_ctypes  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "tools"))
from cli_files import png_rgb  # noqa: E402

PARSER = argparse.ArgumentParser()
PARSER.add_argument("--coders", required=True, help="the build tree's folder of tzf.la, tzf.so")
PARSER.add_argument("--system-coders", required=True, help="ImageMagick's own coders folder")
PARSER.add_argument("--config", required=True, help="the build tree's folder of magic.xml")
PARSER.add_argument("--convert", required=True)
PARSER.add_argument("--identify", required=True)
PARSER.add_argument("--libtzf", required=True)
PARSER.add_argument("--tzfconv", required=True)
PARSER.add_argument("--corpus", required=True)
PARSER.add_argument("--work", required=True)
PARSER.add_argument("--preload", default="")
ARGS, REST = PARSER.parse_known_args()

if ARGS.preload and os.environ.get("LD_PRELOAD") != ARGS.preload:
    # The instrumented libtzf is loaded here too (ctypes): this script runs
    # again with the sanitizer runtime first.
    os.execve(sys.executable, [sys.executable] + sys.argv,
              dict(os.environ, LD_PRELOAD=ARGS.preload, ASAN_OPTIONS="detect_leaks=0"))

# The messages ImageMagick gives for each failure class of the corpus.
FAILURE_MESSAGES = {
    "not-tzf": "improper image header",
    "bad-size": "negative or zero image size",
    "limit": "width or height exceeds limit",
}
# A picture's bits per pixel and the class ImageMagick gives it.
CLASS_OF_DEPTH = {8: "PseudoClass", 24: "DirectClass"}


def environment(config_dirs=()):
    env = dict(os.environ)
    env["MAGICK_CODER_MODULE_PATH"] = ARGS.coders + os.pathsep + ARGS.system_coders
    env["MAGICK_CONFIGURE_PATH"] = os.pathsep.join(list(config_dirs) + [ARGS.config])
    # Nothing from the user's own configuration.
    env["HOME"] = ARGS.work
    env.pop("MAGICK_HOME", None)
    if ARGS.preload:
        env["LD_PRELOAD"] = ARGS.preload
        # ImageMagick keeps its caches until exit; leaks are the library's
        # fuzzers' business.
        env["ASAN_OPTIONS"] = "detect_leaks=0"
    return env


def run(tool, *args, stdin=None, config_dirs=()):
    """(exit status, stdout bytes, stderr text)."""
    result = subprocess.run([tool, *args], input=stdin, capture_output=True,
                            env=environment(config_dirs))
    return result.returncode, result.stdout, result.stderr.decode(errors="replace")


def run_measured(tool, *args, config_dirs=()):
    """As run(), with the peak memory of this one process."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen([tool, *args], stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=err, env=environment(config_dirs))
        _, status, usage = os.wait4(process.pid, 0)
        out.seek(0)
        err.seek(0)
        return (os.waitstatus_to_exitcode(status), out.read(), err.read().decode(errors="replace"),
                usage.ru_maxrss)


def convert(*args, stdin=None, config_dirs=()):
    return run(ARGS.convert, *args, stdin=stdin, config_dirs=config_dirs)


def identify(*args, stdin=None, config_dirs=()):
    return run(ARGS.identify, *args, stdin=stdin, config_dirs=config_dirs)


def read(path):
    with open(path, "rb") as f:
        return f.read()


LIBTZF = libtzf_ctypes.Libtzf(ARGS.libtzf)
libtzf_info = LIBTZF.info
libtzf_decode = LIBTZF.decode


def ppm_pixels(data):
    """(width, height, RGB) of a binary PPM of 8-bit samples."""
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    assert header, data[:20]
    return int(header.group(1)), int(header.group(2)), data[header.end():]


def pixels(name, *options):
    """(width, height, 8-bit RGB) of a picture as convert reads it."""
    status, out, err = convert(name, *options, "-depth", "8", "ppm:-")
    assert status == 0, "%s: %s" % (name, err)
    return ppm_pixels(out)


def png_pixels(path):
    """(width, height, RGB) of an 8-bit grey, RGB, palette or RGBA PNG of the
    corpus, read here rather than by the program under test."""
    return png_rgb(read(path))


def corpus_rows():
    with open(os.path.join(ARGS.corpus, "expected.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, kind, rows = line.rstrip("\n").split("\t")
                yield name, kind, int(rows)


def write_rows():
    """(name, kind, source, expected) of the write corpus."""
    write = os.path.join(ARGS.corpus, "write")
    with open(os.path.join(write, "write.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, kind, expected = line.rstrip("\n").split("\t")
                yield name, kind, os.path.join(write, name), os.path.join(write, expected)


class GoldenCorpus(unittest.TestCase):
    def test_every_picture(self):
        for name, kind, _ in corpus_rows():
            path = os.path.join(ARGS.corpus, name)
            with self.subTest(name=name):
                status, out, err = convert("tzf:" + path, "-depth", "8", "ppm:-")
                if kind in ("ok", "truncated"):
                    self.assertEqual(status, 0, err)
                    self.assertEqual(ppm_pixels(out), png_pixels(path[:-len(".tzf")] + ".png"))
                    if kind == "ok":
                        self.assertEqual(err, "")
                    else:
                        self.assertIn("insufficient image data in file", err)
                else:
                    self.assertEqual(status, 1, err)
                    self.assertEqual(out, b"")
                    self.assertIn(FAILURE_MESSAGES[kind], err)
                    self.assertIn(name, err)

    def test_identify_reads_the_header(self):
        """identify -ping gives the size, depth and class from the header."""
        names = [name for name, kind, _ in corpus_rows() if kind == "ok"]
        paths = [os.path.join(ARGS.corpus, name) for name in names]
        status, out, err = identify("-ping", "-format", "%f %m %w %h %z %r\n", *paths)
        self.assertEqual((status, err), (0, ""))
        # The class, without the colourspace ImageMagick guesses for it.
        lines = [" ".join(line.split()[:6]) for line in out.decode().splitlines()]
        expected = []
        for name, path in zip(names, paths):
            _, info = libtzf_info(read(path))
            expected.append("%s TZF %d %d 8 %s" % (
                name, info.width, info.height, CLASS_OF_DEPTH[info.bits_per_pixel]))
        self.assertEqual(lines, expected)
        status, out, err = identify("-verbose", os.path.join(ARGS.corpus, "ok_8_whole.tzf"))
        self.assertEqual(status, 0, err)
        self.assertIn("Colormap entries: 256", out.decode())


class Detection(unittest.TestCase):
    """ImageMagick picks the module by the file's first bytes (magic.xml),
    whatever the name."""

    def test_other_names(self):
        source = os.path.join(ARGS.corpus, "enc_24_scene.tzf")
        expected = png_pixels(os.path.join(ARGS.corpus, "enc_24_scene.png"))
        for name in ("picture.bin", "picture.dat", "picture", "picture.png"):
            path = os.path.join(ARGS.work, name)
            shutil.copyfile(source, path)
            with self.subTest(name=name):
                status, out, err = identify("-format", "%m", path)
                self.assertEqual((status, out, err), (0, b"TZF", ""))
                self.assertEqual(pixels(path), expected)


class Pipes(unittest.TestCase):
    def test_read_from_stdin(self):
        data = read(os.path.join(ARGS.corpus, "enc_8_scene.tzf"))
        expected = png_pixels(os.path.join(ARGS.corpus, "enc_8_scene.png"))[2]
        for name in ("tzf:-", "-"):
            with self.subTest(name=name):
                status, out, err = convert(name, "-depth", "8", "rgb:-", stdin=data)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(out, expected)
        status, out, err = convert("tzf:-", "png:-", stdin=data)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith(b"\x89PNG"))

    def test_write_to_stdout(self):
        source = os.path.join(ARGS.corpus, "write", "rgb_scene_320x200.png")
        status, out, err = convert(source, "tzf:-")
        self.assertEqual(status, 0, err)
        width, height, depth, rgb = libtzf_decode(out)
        self.assertEqual((width, height, depth, rgb), (*png_pixels(source)[:2], 24,
                                                       png_pixels(source)[2]))
        status, back, err = convert("tzf:-", "-depth", "8", "rgb:-", stdin=out)
        self.assertEqual((status, back), (0, rgb), err)


class WriteCorpus(unittest.TestCase):
    def check_written(self, path, expected, depth):
        width, height, rgb = png_pixels(expected)
        data = read(path)
        self.assertEqual(libtzf_decode(data), (width, height, depth, rgb))
        status, out, err = convert(path, "-depth", "8", "ppm:-")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(ppm_pixels(out), (width, height, rgb))
        return data

    def test_round_trip(self):
        """A palette image stays 8-bit with its colours, others become
        24-bit; transparent pixels go over white."""
        for name, kind, source, expected in write_rows():
            out = os.path.join(ARGS.work, name + ".tzf")
            with self.subTest(name=name):
                status, _, err = convert(source, out)
                self.assertEqual((status, err), (0, ""))
                self.check_written(out, expected, 8 if kind == "palette" else 24)

    def test_options(self):
        write = os.path.join(ARGS.corpus, "write")
        cases = [
            # (source, options, bits per pixel)
            ("rgb_few_colours_45x30.png", ["-type", "Palette"], 8),
            ("rgb_256_colours_64x16.png", ["-define", "tzf:bits-per-pixel=8"], 8),
            ("palette_odd_37x23.png", ["-type", "TrueColor"], 24),
            ("palette_odd_37x23.png", ["-define", "tzf:bits-per-pixel=24"], 24),
            ("rgb_scene_320x200.png", ["-quality", "10"], 24),
            ("rgb_scene_320x200.png", ["-define", "tzf:effort=fast"], 24),
            ("palette_full_64x64.png", ["+dither"], 8),
        ]
        for source, options, depth in cases:
            path = os.path.join(ARGS.work, "option.tzf")
            with self.subTest(source=source, options=options):
                status, _, err = convert(os.path.join(write, source), *options, path)
                self.assertEqual((status, err), (0, ""))
                self.check_written(path, os.path.join(write, source), depth)
        # The fast encoder writes a larger file of the same pixels.
        sizes = []
        for options in ([], ["-define", "tzf:effort=fast"]):
            status, out, err = convert("rose:", "-resize", "300%", *options, "tzf:-")
            self.assertEqual(status, 0, err)
            sizes.append(len(out))
        self.assertLess(sizes[0], sizes[1])

    def test_background(self):
        """-background is the colour transparent pixels are composited over."""
        source = os.path.join(ARGS.corpus, "write", "rgba_disc_64x48.png")
        path = os.path.join(ARGS.work, "black.tzf")
        status, _, err = convert("-background", "black", source, path)
        self.assertEqual((status, err), (0, ""))
        status, rgba, err = convert(source, "-depth", "8", "rgba:-")
        self.assertEqual(status, 0, err)
        rgb = libtzf_decode(read(path))[3]
        clear = opaque = 0
        for i in range(len(rgba) // 4):
            alpha = rgba[4 * i + 3]
            if alpha in (0, 255):
                expected = rgba[4 * i:4 * i + 3] if alpha == 255 else b"\0\0\0"
                self.assertEqual(rgb[3 * i:3 * i + 3], expected, "pixel %d" % i)
                clear += alpha == 0
                opaque += alpha == 255
        self.assertTrue(clear > 0 and opaque > 0)

    def test_tzfconv_reads_it(self):
        source = os.path.join(ARGS.corpus, "write", "palette_full_64x64.png")
        path = os.path.join(ARGS.work, "for_tzfconv.tzf")
        png = os.path.join(ARGS.work, "from_tzfconv.png")
        self.assertEqual(convert(source, path)[0], 0)
        # tzfconv carries its own sanitizer runtime when it has one.
        env = dict(os.environ)
        env.pop("LD_PRELOAD", None)
        result = subprocess.run([ARGS.tzfconv, path, png], capture_output=True, text=True,
                                env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(png_pixels(png), png_pixels(source))


class Limits(unittest.TestCase):
    """A small file declaring a large picture: ImageMagick's limits and
    policies refuse it before the pixels or the data are taken in."""

    WIDTH = HEIGHT = 3000

    @classmethod
    def setUpClass(cls):
        # An all-black picture: a few kilobytes of runs, cut short.
        whole = os.path.join(ARGS.work, "large_whole.tzf")
        status, _, err = convert("-size", "%dx%d" % (cls.WIDTH, cls.HEIGHT), "xc:black",
                                 "-define", "tzf:effort=fast", whole)
        assert status == 0, err
        cls.path = os.path.join(ARGS.work, "large_cut.tzf")
        with open(cls.path, "wb") as f:
            f.write(read(whole)[:2048])
        # What the picture costs when it is read: ImageMagick's cache of
        # 8 bytes a pixel; over what reading a 1x1 picture costs the program.
        cls.full_kib = cls.WIDTH * cls.HEIGHT * 8 // 1024
        one = os.path.join(ARGS.corpus, "ok_24_1x1.tzf")
        cls.base_kib = max(run_measured(tool, one, *rest)[3] for tool, rest in (
            (ARGS.convert, ["rgb:-"]), (ARGS.identify, [])))

    def refused(self, *options, config_dirs=(), message):
        status, out, err, peak = run_measured(ARGS.convert, *options, self.path, "rgb:-",
                                              config_dirs=config_dirs)
        self.assertEqual(status, 1, err)
        self.assertEqual(out, b"")
        self.assertIn(message, err)
        self.assertLess(peak, self.base_kib + self.full_kib // 4, "peak memory %d KiB" % peak)

    def test_read_whole_when_allowed(self):
        status, out, err, peak = run_measured(ARGS.convert, self.path, "-depth", "8", "rgb:-")
        self.assertEqual(status, 0, err)
        self.assertIn("insufficient image data in file", err)
        self.assertEqual(len(out), self.WIDTH * self.HEIGHT * 3)

    def test_ping_reads_the_header(self):
        status, out, err, peak = run_measured(ARGS.identify, "-ping", self.path)
        self.assertEqual((status, err), (0, ""))
        self.assertIn(" TZF %dx%d " % (self.WIDTH, self.HEIGHT), out.decode())
        self.assertLess(peak, self.base_kib + self.full_kib // 4, "peak memory %d KiB" % peak)

    def test_limit_options(self):
        self.refused("-limit", "width", "1000", message="width or height exceeds limit")
        self.refused("-limit", "height", "1000", message="width or height exceeds limit")
        # Past the area limit ImageMagick 6 keeps the pixels on disk; with
        # no disk either, the picture is refused.
        self.refused("-limit", "area", "1MP", "-limit", "disk", "1MB",
                     message="cache resources exhausted")

    def test_policy(self):
        policies = {
            "width": ('<policy domain="resource" name="width" value="1KP"/>',
                      "width or height exceeds limit"),
            "coder": ('<policy domain="coder" rights="none" pattern="TZF"/>',
                      "not allowed by the security policy `TZF'"),
        }
        for name, (policy, message) in policies.items():
            folder = os.path.join(ARGS.work, "policy-" + name)
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "policy.xml"), "w") as f:
                f.write('<?xml version="1.0" encoding="UTF-8"?>\n<policymap>\n  %s\n'
                        '</policymap>\n' % policy)
            with self.subTest(policy=name):
                self.refused(config_dirs=[folder], message=message)


if __name__ == "__main__":
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    unittest.main(argv=[sys.argv[0]] + REST, verbosity=2)
