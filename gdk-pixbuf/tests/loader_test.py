"""The TZF loader as GTK programs meet it: through gdk-pixbuf's loaders cache
and the MIME database, from Debian's Python and gi. The golden corpus gives
pictures with their expected pixels or failure class; the other pictures are
made here with tzfenc, their expected pixels tzfconv's PNG output."""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_env  # noqa: E402

ARGS = desktop_env.parse_args(["corpus"])
WORK = desktop_env.prepare(ARGS)

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import Gio, GdkPixbuf, GLib  # noqa: E402

# Name, width, height, depth: odd widths leave padding at the end of each
# pixbuf row (rows are four-byte aligned), 1-pixel and tall or wide shapes
# reach the picture's edges.
PICTURES = [
    ("rgb_1x1", 1, 1, 24),
    ("rgb_7x5", 7, 5, 24),
    ("rgb_33x17", 33, 17, 24),
    ("rgb_101x64", 101, 64, 24),
    ("rgb_3x200", 3, 200, 24),
    ("pal_1x1", 1, 1, 8),
    ("pal_5x3", 5, 3, 8),
    ("pal_31x19", 31, 19, 8),
    ("pal_257x9", 257, 9, 8),
]

FILES = {}  # name -> .tzf path
EXPECTED = {}  # name -> (width, height, rgb)


def setUpModule():
    for name, width, height, depth in PICTURES:
        png = os.path.join(WORK, name + ".in.png")
        tzf = os.path.join(WORK, name + ".tzf")
        colours = 200 if depth == 8 else 4096
        desktop_env.write_png(png, width, height,
                              desktop_env.pattern_pixels(width, height, colours, len(FILES) + 1))
        desktop_env.encode(ARGS, png, tzf, depth)
        FILES[name] = tzf
    FILES["sample"] = ARGS.sample
    for name, tzf in FILES.items():
        EXPECTED[name] = desktop_env.reference(ARGS, tzf, os.path.join(WORK, name + ".ref.png"))
    assert EXPECTED["sample"][:2] == (640, 360)


def write_file(name, data):
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def load_in_pieces(data, piece=7, loader=None, on_size=None):
    """Feeds `data` to a PixbufLoader `piece` bytes at a time; returns the
    pixbuf (None when none was made). Raises GLib.Error on failure."""
    loader = loader or GdkPixbuf.PixbufLoader.new()
    if on_size is not None:
        loader.connect("size-prepared", on_size)
    for start in range(0, len(data), piece):
        loader.write(data[start:start + piece])
    loader.close()
    return loader.get_pixbuf()


class Case(unittest.TestCase):
    def assertPixels(self, pixbuf, expected):
        width, height, rgb = expected
        self.assertIsNotNone(pixbuf)
        self.assertEqual((pixbuf.get_width(), pixbuf.get_height()), (width, height))
        self.assertEqual(pixbuf.get_n_channels(), 3)
        self.assertFalse(pixbuf.get_has_alpha())
        got = desktop_env.rgb_of(pixbuf)
        if got != rgb:
            first = next(i for i in range(len(rgb)) if got[i] != rgb[i])
            self.fail("pixel %d (x %d, y %d) differs: got %s, tzfconv %s" % (
                first // 3, first // 3 % width, first // 3 // width,
                got[first // 3 * 3:first // 3 * 3 + 3].hex(),
                rgb[first // 3 * 3:first // 3 * 3 + 3].hex()))


def read_expected():
    """The corpus's expected.tsv as (file name, class, rows held) rows."""
    rows = []
    with open(os.path.join(ARGS.corpus, "expected.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, class_, rows_held = line.rstrip("\n").split("\t")
                rows.append((name, class_, int(rows_held)))
    return rows


class Corpus(Case):
    """Every corpus file, read from a file and fed to a loader in pieces: the
    pixels of its PNG, or the error of its failure class. gdk-pixbuf tells
    failures apart by error code: not-tzf is a corrupt image, or an unknown
    type when the data starts as a TZF picture of a kind not read; bad-size
    is a corrupt image; limit is insufficient memory."""
    # Class -> {error code: words its message holds}.
    CODES = {
        "not-tzf": {GdkPixbuf.PixbufError.CORRUPT_IMAGE: "Not a TZF picture",
                    GdkPixbuf.PixbufError.UNKNOWN_TYPE: "version or colour depth"},
        "bad-size": {GdkPixbuf.PixbufError.CORRUPT_IMAGE: "width or height of 0 or less"},
        "limit": {GdkPixbuf.PixbufError.INSUFFICIENT_MEMORY:
                  "larger than the limit of 256 megapixels"},
    }
    PIECES = (1, 7, 4096)

    def feed(self, data, piece, expected):
        """Loads `data` in pieces through the TZF module. Rows announced
        before the data ends must already be the expected ones."""
        loader = GdkPixbuf.PixbufLoader.new_with_type("tzf")
        early = []

        def on_updated(loader_, x, y, width, height):
            if expected is not None:
                pixbuf = loader_.get_pixbuf()
                early.append((y, height, desktop_env.rgb_of(pixbuf)))

        loader.connect("area-updated", on_updated)
        for start in range(0, len(data), piece):
            loader.write(data[start:start + piece])
        early_count = len(early)
        loader.close()
        if expected is not None:
            width, _, rgb = expected
            row = width * 3
            for y, height, got in early[:early_count]:
                self.assertEqual(got[y * row:(y + height) * row], rgb[y * row:(y + height) * row],
                                 "rows %d to %d, announced before the data ended" % (
                                     y, y + height))
        return loader.get_pixbuf()

    def test_corpus(self):
        rows = read_expected()
        self.assertGreater(len(rows), 0)
        for name, class_, rows_held in rows:
            path = os.path.join(ARGS.corpus, name)
            data = read(path)
            with self.subTest(file=name, how="new_from_file"):
                if class_ in ("ok", "truncated"):
                    png = GdkPixbuf.Pixbuf.new_from_file(path[:-len(".tzf")] + ".png")
                    expected = (png.get_width(), png.get_height(), desktop_env.rgb_of(png))
                    if class_ == "ok":
                        self.assertEqual(rows_held, expected[1])
                    self.assertPixels(GdkPixbuf.Pixbuf.new_from_file(path), expected)
                else:
                    expected = None
                    try:
                        GdkPixbuf.Pixbuf.new_from_file(path)
                    except GLib.Error as error:
                        self.assertEqual(error.domain,
                                         GLib.quark_to_string(GdkPixbuf.pixbuf_error_quark()))
                    else:
                        # gdk-pixbuf chooses the module by content: a picture
                        # of another format loads as that format.
                        format_ = GdkPixbuf.Pixbuf.get_file_info(path)[0]
                        self.assertNotEqual(format_.get_name(), "tzf", class_)
            for piece in self.PIECES:
                with self.subTest(file=name, piece=piece):
                    if expected is not None:
                        self.assertPixels(self.feed(data, piece, expected), expected)
                        continue
                    with self.assertRaises(GLib.Error) as caught:
                        self.feed(data, piece, None)
                    error = caught.exception
                    self.assertEqual(error.domain,
                                     GLib.quark_to_string(GdkPixbuf.pixbuf_error_quark()))
                    words = {int(code): words for code, words in self.CODES[class_].items()}
                    self.assertIn(error.code, words, error.message)
                    self.assertIn(words[error.code], error.message)

    def test_bands_are_announced_while_the_data_arrives(self):
        # The rows announced before the data ends are checked against the
        # expected pixels by feed(); here there must be several such bands,
        # each above the one before, and the last update reaching the top.
        for name, piece in (("sample", 4096), ("rgb_3x200", 7)):
            with self.subTest(picture=name, piece=piece):
                data = read(FILES[name])
                width, height, _ = EXPECTED[name]
                loader = GdkPixbuf.PixbufLoader.new_with_type("tzf")
                updates = []
                loader.connect("area-updated",
                               lambda loader_, x, y, w, h: updates.append((x, y, w, h)))
                for start in range(0, len(data), piece):
                    loader.write(data[start:start + piece])
                self.assertGreater(len(updates), 1, "bands before the data ended")
                loader.close()
                self.assertPixels(loader.get_pixbuf(), EXPECTED[name])
                bottom = height
                for x, y, w, h in updates:
                    self.assertEqual((x, w, y + h), (0, width, bottom))
                    bottom = y
                self.assertEqual(bottom, 0)


class Registration(Case):
    def test_format_is_listed(self):
        formats = {f.get_name(): f for f in GdkPixbuf.Pixbuf.get_formats()}
        self.assertIn("tzf", formats)
        tzf = formats["tzf"]
        self.assertEqual(tzf.get_mime_types(), ["image/x-tzf"])
        self.assertEqual(tzf.get_extensions(), ["tzf"])
        self.assertEqual(tzf.get_license(), "MIT")
        self.assertEqual(tzf.get_description(), "TZF picture")
        self.assertTrue(tzf.is_writable())

    def test_mime_type_from_name_and_from_signature(self):
        data = read(FILES["rgb_7x5"])
        rows = [
            ("picture.tzf", data, "image/x-tzf"),
            ("picture", data, "image/x-tzf"),  # the signature alone
            ("picture.TZF", data, "image/x-tzf"),
            ("header-only", desktop_env.header(3, 3), "image/x-tzf"),
        ]
        for name, content, expected in rows:
            with self.subTest(name=name):
                path = write_file(name, content)
                info = Gio.File.new_for_path(path).query_info(
                    "standard::content-type", Gio.FileQueryInfoFlags.NONE, None)
                self.assertEqual(info.get_content_type(), expected)
                self.assertEqual(Gio.content_type_get_description(expected), "TZF picture")


class Decoding(Case):
    def test_new_from_file_matches_tzfconv(self):
        for name, path in FILES.items():
            with self.subTest(picture=name):
                self.assertPixels(GdkPixbuf.Pixbuf.new_from_file(path), EXPECTED[name])

    def test_loader_fed_seven_bytes_at_a_time(self):
        loaders = [
            ("sniffed", GdkPixbuf.PixbufLoader.new),
            ("by type", lambda: GdkPixbuf.PixbufLoader.new_with_type("tzf")),
            ("by MIME type", lambda: GdkPixbuf.PixbufLoader.new_with_mime_type("image/x-tzf")),
        ]
        for name, path in FILES.items():
            for how, make in loaders:
                with self.subTest(picture=name, loader=how):
                    self.assertPixels(load_in_pieces(read(path), 7, make()), EXPECTED[name])

    def test_loader_in_one_piece_and_odd_pieces(self):
        data = read(FILES["sample"])
        for piece in (len(data), 1, 63, 64, 65, 1087, 4096):
            with self.subTest(piece=piece):
                self.assertPixels(load_in_pieces(data, piece), EXPECTED["sample"])

    def test_extensionless_picture_is_recognised_by_signature(self):
        for name in ("rgb_33x17", "pal_31x19", "sample"):
            with self.subTest(picture=name):
                path = write_file("noext_" + name, read(FILES[name]))
                format_, width, height = GdkPixbuf.Pixbuf.get_file_info(path)
                self.assertIsNotNone(format_)
                self.assertEqual(format_.get_name(), "tzf")
                self.assertEqual((width, height), EXPECTED[name][:2])
                self.assertPixels(GdkPixbuf.Pixbuf.new_from_file(path), EXPECTED[name])

    def test_truncated_file_shows_what_it_has(self):
        # Cut points: inside the palette, right after it, inside the streams,
        # inside the literals.
        rows = [
            ("pal_31x19", 600), ("pal_31x19", 1088), ("pal_31x19", 1100),
            ("pal_257x9", 0.5), ("rgb_33x17", 64), ("rgb_33x17", 70), ("rgb_101x64", 0.3),
            ("rgb_101x64", 0.9), ("sample", 0.5), ("sample", 0.95),
        ]
        for name, cut in rows:
            data = read(FILES[name])
            length = cut if isinstance(cut, int) else int(len(data) * cut)
            with self.subTest(picture=name, length=length):
                path = write_file("%s_cut%d.tzf" % (name, length), data[:length])
                expected = desktop_env.reference(ARGS, path, path + ".ref.png")
                self.assertPixels(GdkPixbuf.Pixbuf.new_from_file(path), expected)
                self.assertPixels(load_in_pieces(data[:length]), expected)
                whole = EXPECTED[name][2]
                self.assertNotEqual(expected[2], whole, "the cut lost nothing")

    def test_trailing_bytes_are_ignored(self):
        for name in ("rgb_7x5", "pal_5x3"):
            with self.subTest(picture=name):
                data = read(FILES[name]) + bytes(range(256)) * 64
                path = write_file(name + "_trailing.tzf", data)
                self.assertPixels(GdkPixbuf.Pixbuf.new_from_file(path), EXPECTED[name])
                self.assertPixels(load_in_pieces(data, 1000), EXPECTED[name])


class SizeRequests(Case):
    def test_size_only_request_makes_no_pixbuf(self):
        for name in ("rgb_33x17", "pal_257x9", "sample"):
            with self.subTest(picture=name):
                seen = []

                def on_size(loader, width, height):
                    seen.append((width, height))
                    loader.set_size(0, 0)

                pixbuf = load_in_pieces(read(FILES[name]), 7, on_size=on_size)
                self.assertEqual(seen, [EXPECTED[name][:2]])
                self.assertIsNone(pixbuf)

    def test_hostile_size_only_request_reports_the_size(self):
        # A header declaring the largest picture accepted, no data: the size is
        # known, nothing is allocated.
        seen = []

        def on_size(loader, width, height):
            seen.append((width, height))
            loader.set_size(0, 0)

        self.assertIsNone(load_in_pieces(desktop_env.header(16384, 16384), 7, on_size=on_size))
        self.assertEqual(seen, [(16384, 16384)])

    def test_scaled_request(self):
        def on_size(loader, width, height):
            loader.set_size(width // 2, height // 2)

        pixbuf = load_in_pieces(read(FILES["sample"]), 4096, on_size=on_size)
        self.assertEqual((pixbuf.get_width(), pixbuf.get_height()), (320, 180))
        pixbuf = GdkPixbuf.Pixbuf.new_from_file_at_size(FILES["sample"], 64, 64)
        self.assertEqual((pixbuf.get_width(), pixbuf.get_height()), (64, 36))


class Thumbnailer(Case):
    def command(self, size, source, target):
        """The Exec line of the installed .thumbnailer entry, filled in as a
        file manager fills it."""
        with open(ARGS.thumbnailer) as f:
            lines = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.assertEqual(lines["MimeType"], "image/x-tzf;")
        fields = {"%s": str(size), "%u": Gio.File.new_for_path(source).get_uri(), "%o": target,
                  "%i": source}
        return [fields.get(word, word) for word in lines["Exec"].split()]

    def test_thumbnail_png(self):
        for name, size in (("sample", 128), ("rgb_3x200", 128), ("pal_5x3", 128), ("sample", 48)):
            with self.subTest(picture=name, size=size):
                out = os.path.join(WORK, "thumb_%s_%d.png" % (name, size))
                subprocess.run(self.command(size, FILES[name], out), check=True, timeout=60)
                self.assertEqual(read(out)[:8], b"\x89PNG\r\n\x1a\n")
                format_, width, height = GdkPixbuf.Pixbuf.get_file_info(out)
                self.assertEqual(format_.get_name(), "png")
                # Scaled to `size` on the longer side, the shape kept.
                source_width, source_height = EXPECTED[name][:2]
                self.assertEqual(max(width, height), size)
                longer = max(source_width, source_height)
                self.assertAlmostEqual(width, source_width * size / longer, delta=1)
                self.assertAlmostEqual(height, source_height * size / longer, delta=1)
                thumbnail = GdkPixbuf.Pixbuf.new_from_file(out)
                if name == "sample":
                    # The thumbnail's colours are the picture's: compare with
                    # tzfconv's output scaled the same way.
                    reference = GdkPixbuf.Pixbuf.new_from_file(
                        os.path.join(WORK, "sample.ref.png")).scale_simple(
                            width, height, GdkPixbuf.InterpType.BILINEAR)
                    got, want = desktop_env.rgb_of(thumbnail), desktop_env.rgb_of(reference)
                    error = sum(abs(a - b) for a, b in zip(got, want)) / len(want)
                    self.assertLess(error, 8, "mean difference per channel")


class Streams(Case):
    def test_endless_stream_stays_small(self):
        # A 4 x 4 picture followed by 300 MB: a fresh process feeds it in
        # 1 MB pieces and reports its peak memory, which must stay far below
        # what buffering the stream would take.
        script = (
            "import resource, sys\n"
            "sys.path.insert(0, %r)\n"
            "import desktop_env, gi\n"
            "gi.require_version('GdkPixbuf', '2.0')\n"
            "from gi.repository import GdkPixbuf\n"
            "loader = GdkPixbuf.PixbufLoader.new_with_type('tzf')\n"
            "loader.write(desktop_env.header(4, 4))\n"
            "piece = bytes(range(256)) * 4096\n"
            "for _ in range(300):\n"
            "    loader.write(piece)\n"
            "loader.close()\n"
            "p = loader.get_pixbuf()\n"
            "print(p.get_width(), p.get_height(),"
            " resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)\n"
        ) % os.path.dirname(os.path.abspath(__file__))
        out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                             text=True, timeout=120).stdout.split()
        self.assertEqual(out[:2], ["4", "4"])
        self.assertLess(int(out[2]), 150, "peak memory in MiB")


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=2).result
    if result.wasSuccessful():
        shutil.rmtree(os.path.join(WORK, "home"), ignore_errors=True)
    sys.exit(0 if result.wasSuccessful() else 1)
