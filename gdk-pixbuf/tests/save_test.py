"""Saving TZF pictures as GTK programs do: gdk_pixbuf_save to a file and
gdk_pixbuf_save_to_buffer, through gdk-pixbuf's loaders cache. Every picture
of the write corpus (tests/corpus/write/write.tsv) and every `ok` picture's
PNG of the golden corpus is loaded as a pixbuf, saved, and read back both
through the loader and by libtzf itself (ctypes); the pixels must be the
expected ones exactly."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_env  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import libtzf_ctypes  # noqa: E402

ARGS = desktop_env.parse_args(["corpus", "libtzf"])
WORK = desktop_env.prepare(ARGS)

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib  # noqa: E402


LIBTZF = libtzf_ctypes.Libtzf(ARGS.libtzf)


def libtzf_decode(data):
    """libtzf's decoding of a whole, untruncated file: (width, height, bits
    per pixel, rgb bytes)."""
    assert not LIBTZF.info(data)[1].truncated
    return LIBTZF.decode(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def pixels(pixbuf):
    return pixbuf.get_width(), pixbuf.get_height(), desktop_env.rgb_of(pixbuf)


def colours(rgb):
    return len({rgb[i:i + 3] for i in range(0, len(rgb), 3)})


def pictures():
    """(name, source PNG, expected PNG) of the write corpus and of the golden
    corpus's `ok` pictures."""
    rows = []
    write = os.path.join(ARGS.corpus, "write")
    with open(os.path.join(write, "write.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, _, expected = line.rstrip("\n").split("\t")
                rows.append((name, os.path.join(write, name), os.path.join(write, expected)))
    with open(os.path.join(ARGS.corpus, "expected.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, class_, _ = line.rstrip("\n").split("\t")
                if class_ == "ok":
                    png = os.path.join(ARGS.corpus, name[:-len(".tzf")] + ".png")
                    rows.append((name, png, png))
    return rows


def save_to_file(pixbuf, name, keys, values):
    path = os.path.join(WORK, name + ".tzf")
    pixbuf.savev(path, "tzf", keys, values)
    return read(path), GdkPixbuf.Pixbuf.new_from_file(path)


def save_to_buffer(pixbuf, name, keys, values):
    ok, data = pixbuf.save_to_bufferv("tzf", keys, values)
    assert ok
    data = bytes(data)
    loader = GdkPixbuf.PixbufLoader.new()  # chosen by the data's signature
    for start in range(0, len(data), 1000):
        loader.write(data[start:start + 1000])
    loader.close()
    assert loader.get_format().get_name() == "tzf"
    return data, loader.get_pixbuf()


WAYS = (("file", save_to_file), ("buffer", save_to_buffer))


class Case(unittest.TestCase):
    def assertRgb(self, got, expected, what):
        self.assertEqual(got[:2], expected[:2], what + ": size")
        width, rgb = expected[0], expected[2]
        if got[2] != rgb:
            first = next(i for i in range(len(rgb)) if got[2][i] != rgb[i]) // 3
            self.fail("%s: pixel (x %d, y %d) is %s, expected %s" % (
                what, first % width, first // width, got[2][first * 3:first * 3 + 3].hex(),
                rgb[first * 3:first * 3 + 3].hex()))

    def save(self, pixbuf, name, keys=(), values=(), depth=24):
        """Saves `pixbuf` both ways; checks that the loader and libtzf read
        each file alike, at `depth`, and that both ways wrote the same bytes.
        Returns (file bytes, its pixels)."""
        files = []
        for how, save in WAYS:
            data, loaded = save(pixbuf, name, list(keys), list(values))
            width, height, bits, rgb = libtzf_decode(data)
            self.assertEqual(bits, depth, how)
            self.assertFalse(loaded.get_has_alpha())
            self.assertRgb(pixels(loaded), (width, height, rgb), how + ": loader against libtzf")
            files.append((data, (width, height, rgb)))
        self.assertEqual(files[0][0], files[1][0], "a file and a buffer of the same options")
        return files[0]


class RoundTrip(Case):
    def test_every_picture_at_both_depths(self):
        # 24 bits are exact; 8 bits are exact when the picture has at most 256
        # colours, and otherwise near: a palette chosen for the picture, with
        # error diffusion. Dithered noise is about 15 off per channel; red and
        # blue swapped are about 70, two bits a channel about 27.
        for name, source, expected_png in pictures():
            pixbuf = GdkPixbuf.Pixbuf.new_from_file(source)
            expected = pixels(GdkPixbuf.Pixbuf.new_from_file(expected_png))
            for depth, keys, values in ((24, [], []), (24, ["depth"], ["24"]),
                                        (8, ["depth"], ["8"])):
                with self.subTest(picture=name, depth=depth, options=keys):
                    _, got = self.save(pixbuf, name, keys, values, depth)
                    if depth == 24 or colours(expected[2]) <= 256:
                        self.assertRgb(got, expected, "saved picture")
                        continue
                    self.assertEqual(got[:2], expected[:2])
                    self.assertLessEqual(colours(got[2]), 256)
                    error = sum(abs(a - b) for a, b in zip(got[2], expected[2])) / len(got[2])
                    self.assertLess(error, 20, "mean difference per channel")

    def test_rows_of_a_larger_pixbuf(self):
        # A sub-pixbuf's rows lie further apart than its width, and its last
        # row ends where the parent's row goes on.
        for name in ("rgb_scene_320x200.png", "rgba_disc_64x48.png"):
            parent = GdkPixbuf.Pixbuf.new_from_file(os.path.join(ARGS.corpus, "write", name))
            for x, y, width, height in ((3, 5, 17, 11), (0, 0, 1, 1), (1, 2, 40, 1)):
                with self.subTest(picture=name, area=(x, y, width, height)):
                    part = parent.new_subpixbuf(x, y, width, height)
                    _, got = self.save(part, "%s_%d_%d" % (name, x, y))
                    expected = part
                    if part.get_has_alpha():
                        expected = GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8,
                                                        width, height)
                        expected.fill(0xFFFFFFFF)  # white under what is transparent
                        part.composite(expected, 0, 0, width, height, 0, 0, 1, 1,
                                       GdkPixbuf.InterpType.NEAREST, 255)
                    self.assertRgb(got, pixels(expected), "sub-pixbuf")


class Options(Case):
    SCENE = os.path.join(ARGS.corpus, "write", "rgb_scene_320x200.png")

    def test_options_reach_the_encoder(self):
        # Each option gives the same pixels as the default or, where it
        # changes them, another file. A scene of flat areas and edges, where
        # the smallest file is smaller than the fast one's.
        pixbuf = GdkPixbuf.Pixbuf.new_from_file(os.path.join(ARGS.corpus, "enc_24_scene.png"))
        expected = pixels(pixbuf)
        smallest, got = self.save(pixbuf, "smallest", ["effort"], ["smallest"])
        self.assertRgb(got, expected, "effort smallest")
        fast, got = self.save(pixbuf, "fast", ["effort"], ["fast"])
        self.assertRgb(got, expected, "effort fast")
        self.assertLess(len(smallest), len(fast))
        self.assertEqual(self.save(pixbuf, "default")[0], smallest)
        # Noise of more than 256 colours: dithered unless told otherwise.
        pixbuf = GdkPixbuf.Pixbuf.new_from_file(self.SCENE)
        dithered = self.save(pixbuf, "d8", ["depth"], ["8"], 8)[0]
        self.assertEqual(self.save(pixbuf, "d8y", ["depth", "dither"], ["8", "yes"], 8)[0],
                         dithered)
        self.assertNotEqual(self.save(pixbuf, "d8n", ["dither", "depth"], ["no", "8"], 8)[0],
                            dithered)
        # A fast 8-bit file of few colours is exact all the same.
        few = GdkPixbuf.Pixbuf.new_from_file(
            os.path.join(ARGS.corpus, "write", "rgb_few_colours_45x30.png"))
        _, got = self.save(few, "few", ["effort", "depth", "dither"], ["fast", "8", "no"], 8)
        self.assertRgb(got, pixels(few), "few colours, fast, 8 bits")

    def test_bad_values_are_refused(self):
        pixbuf = GdkPixbuf.Pixbuf.new_from_file(self.SCENE)
        rows = [("effort", "slow"), ("effort", "Fast"), ("effort", ""), ("depth", "16"),
                ("depth", "8 "), ("depth", "auto"), ("dither", "maybe"), ("dither", "1")]
        for key, value in rows:
            for how, save in WAYS:
                with self.subTest(key=key, value=value, how=how):
                    with self.assertRaises(GLib.Error) as caught:
                        save(pixbuf, "bad", ["depth", key], ["8", value])
                    error = caught.exception
                    self.assertEqual(error.domain,
                                     GLib.quark_to_string(GdkPixbuf.pixbuf_error_quark()))
                    self.assertEqual(error.code, GdkPixbuf.PixbufError.BAD_OPTION)
                    self.assertIn('"%s"' % key, error.message)

    def test_unknown_keys_are_passed_over(self):
        # As gdk-pixbuf's own savers do: a warning, and the file the other
        # options ask for.
        pixbuf = GdkPixbuf.Pixbuf.new_from_file(self.SCENE)
        warnings = []
        handler = GLib.log_set_handler(None, GLib.LogLevelFlags.LEVEL_WARNING,
                                       lambda domain, level, message, *_: warnings.append(message))
        try:
            data = self.save(pixbuf, "unknown", ["quality", "effort", "x-dpi"],
                             ["90", "fast", "300"])[0]
        finally:
            GLib.log_remove_handler("", handler)  # "": the NULL domain
        self.assertEqual(data, self.save(pixbuf, "known", ["effort"], ["fast"])[0])
        self.assertEqual(len(warnings), 4)  # two keys, two ways
        self.assertIn("(quality)", warnings[0])

    def test_options_the_format_lists(self):
        tzf = next(f for f in GdkPixbuf.Pixbuf.get_formats() if f.get_name() == "tzf")
        self.assertTrue(tzf.is_writable())
        for key, supported in (("effort", True), ("depth", True), ("dither", True),
                               ("compression", False), ("quality", False), ("", False)):
            with self.subTest(key=key):
                self.assertEqual(tzf.is_save_option_supported(key), supported)


class Limits(Case):
    def test_wider_than_the_format_holds(self):
        # 2^20 pixels a side at most: one more is refused before any work.
        pixbuf = GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8, (1 << 20) + 1, 1)
        pixbuf.fill(0)
        for how, save in WAYS:
            with self.subTest(how=how):
                with self.assertRaises(GLib.Error) as caught:
                    save(pixbuf, "too_wide", [], [])
                self.assertEqual(caught.exception.code, GdkPixbuf.PixbufError.FAILED)
                self.assertIn("larger than a TZF file holds", caught.exception.message)


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    if result.wasSuccessful():
        shutil.rmtree(os.path.join(WORK, "home"), ignore_errors=True)
    sys.exit(0 if result.wasSuccessful() else 1)
