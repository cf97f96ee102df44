#!/usr/bin/python3
"""The libvips module through the tools users run: vips, vipsheader and
vipsthumbnail, and from Python through GObject introspection (Debian has no
pyvips; the typelib calls the same libvips).

libvips is pointed at this build tree's module by VIPSHOME: a home folder made
here whose modules folder holds nothing but vips-tzf.so.

- the golden corpus: every `ok` and `truncated` picture read by `vips copy`
  and by the tzfload operation from Python, pixels exactly as NAME.png;
  truncated ones warn, and fail with fail_on=truncated; every failure class
  gives vips' clean error (exit status, "tzfload: ..." message);
- vipsheader reads the header only: truncated pictures print their size
  without the decoder's warning;
- detection by signature under any name; a picture over the limits is refused
  before its pixels are allocated (the process stays small);
- the write corpus written by `vips copy` and read back by vips and by libtzf
  (ctypes), exactly; palette PNGs become 8-bit files; the options work.
"""
import argparse
import concurrent.futures
import functools
import os
import resource
import shutil
import subprocess
import sys
import sysconfig
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import libtzf_ctypes  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "tools"))
from cli_files import png_rgb  # noqa: E402

PARSER = argparse.ArgumentParser()
for name in ("module", "series", "vips", "vipsheader", "vipsthumbnail", "libtzf", "corpus",
             "work"):
    PARSER.add_argument("--" + name, required=True)
PARSER.add_argument("--preload", default="")
ARGS = PARSER.parse_args()

# Everything this script starts, Python's libvips included, runs with the
# test's home and, in sanitizer builds, the sanitizer runtime first.
if os.environ.get("TZF_VIPS_TEST_ENV") != "1":
    env = dict(os.environ, TZF_VIPS_TEST_ENV="1", VIPSHOME=os.path.join(ARGS.work, "home"))
    if ARGS.preload:
        env["LD_PRELOAD"] = ARGS.preload
        env["ASAN_OPTIONS"] = "detect_leaks=0"
    shutil.rmtree(ARGS.work, ignore_errors=True)
    # libvips looks for its modules under the home's copy of its library
    # folder; the layout differs between builds of libvips, so every likely
    # one gets the module.
    arch = sysconfig.get_config_var("MULTIARCH") or ""
    for libdir in ("lib", os.path.join("lib", arch), arch):
        if not libdir:
            continue
        folder = os.path.join(ARGS.work, "home", libdir, "vips-modules-" + ARGS.series)
        os.makedirs(folder, exist_ok=True)
        os.symlink(os.path.abspath(ARGS.module), os.path.join(folder, "vips-tzf.so"))
    os.execve(sys.executable, [sys.executable] + sys.argv, env)

WORK = ARGS.work
CORPUS = ARGS.corpus
FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def run(*command):
    return subprocess.run(list(command), capture_output=True, text=True, errors="replace")


def clean(stderr):
    """No crash, assertion or GLib critical in a tool's error output."""
    return not any(bad in stderr for bad in ("CRITICAL", "AddressSanitizer", "runtime error",
                                              "Segmentation", "Traceback"))


# ---- pixels ----

@functools.lru_cache(maxsize=None)
def read_png(path):
    """(width, height, RGB bytes) of an 8-bit RGB, RGBA (over white) or
    palette PNG."""
    return png_rgb(open(path, "rb").read())


def read_ppm(path):
    data = open(path, "rb").read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace() or data[at:at + 1] == b"#":
            if data[at:at + 1] == b"#":
                at = data.index(b"\n", at)
            at += 1
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    assert fields[0] == b"P6" and fields[3] == b"255", path
    return int(fields[1]), int(fields[2]), data[at + 1:]


LIBTZF = libtzf_ctypes.Libtzf(ARGS.libtzf)
libtzf_info = LIBTZF.info


def libtzf_decode(data):
    """(width, height, RGB bytes, bits per pixel) by libtzf itself."""
    width, height, bits, rgb = LIBTZF.decode(data)
    return width, height, rgb, bits


def corpus_list(path):
    for line in open(path):
        if line.strip() and not line.startswith("#"):
            yield line.rstrip("\n").split("\t")


def in_parallel(function, items):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(function, items))


# ---- the tests ----

def test_module_found():
    listing = run(ARGS.vips, "-l", "foreign").stdout
    names = ("tzfload", "tzfload_buffer", "tzfload_source", "tzfsave", "tzfsave_buffer",
             "tzfsave_target")
    for name in names:
        if not check("(%s)" % name in listing, "vips -l foreign does not list %s" % name):
            sys.exit("the module was not loaded from %s: stopping" % os.environ["VIPSHOME"])
    print("ok: the module registers " + ", ".join(names))


def test_hostile_header_first():
    """Before anything else ran, so that the children's peak memory is theirs."""
    limit_files = [name for name, kind, _ in corpus_list(os.path.join(CORPUS, "expected.tsv"))
                   if kind == "limit"]
    for name in limit_files:
        result = run(ARGS.vips, "copy", os.path.join(CORPUS, name), os.path.join(WORK, "x.v"))
        check(result.returncode != 0 and "tzfload: " in result.stderr and
              "limit" in result.stderr and clean(result.stderr),
              "%s: vips copy should refuse the picture as over the limit: %r" %
              (name, result.stderr))
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    # A 65535 x 65535 picture alone would need 12 GiB; sanitizer builds
    # reserve more for themselves.
    budget_kib = (1024 if ARGS.preload else 200) * 1024
    check(peak_kib < budget_kib, "refusing over-limit pictures took %d KiB" % peak_kib)
    print("ok: %d over-limit pictures refused, peak %d KiB" % (len(limit_files), peak_kib))


def test_golden_corpus():
    entries = list(corpus_list(os.path.join(CORPUS, "expected.tsv")))

    def one(entry):
        name, kind, rows_held = entry
        path = os.path.join(CORPUS, name)
        stem = name[:-len(".tzf")]
        out = os.path.join(WORK, "golden", stem + ".ppm")
        if kind in ("ok", "truncated"):
            result = run(ARGS.vips, "copy", path, out)
            if not check(result.returncode == 0 and clean(result.stderr),
                         "%s: vips copy failed: %s" % (name, result.stderr)):
                return
            check(read_ppm(out) == read_png(os.path.join(CORPUS, stem + ".png")),
                  "%s: pixels differ from %s.png" % (name, stem))
            warning = "tzfload: truncated TZF picture: %s of" % rows_held
            check((warning in result.stderr) == (kind == "truncated"),
                  "%s: a picture of class %s warned %r" % (name, kind, result.stderr))
        else:
            # Named tzfload, the loader must refuse the file with its own message.
            forced = run(ARGS.vips, "tzfload", path, out[:-4] + ".v")
            check(forced.returncode != 0 and "tzfload: " in forced.stderr and
                  clean(forced.stderr),
                  "%s: vips tzfload should fail cleanly: %r" % (name, forced.stderr))

    os.makedirs(os.path.join(WORK, "golden"))
    in_parallel(one, entries)
    # fail_on: from truncated on, a picture whose data ended early fails.
    for name, status in (("trunc_8_in_literals.tzf", 1), ("trunc_24_header41.tzf", 1),
                         ("ok_24_streams_shorter.tzf", 0)):
        strict = run(ARGS.vips, "copy", os.path.join(CORPUS, name) + "[fail_on=truncated]",
                     os.path.join(WORK, "strict.ppm"))
        check((strict.returncode != 0) == (status != 0) and clean(strict.stderr),
              "%s with fail_on=truncated: %d %r" % (name, strict.returncode, strict.stderr))
    # Found by content, other loaders may take what is not a TZF picture.
    header = run(ARGS.vipsheader, "-f", "vips-loader", os.path.join(CORPUS, "nottzf_png.tzf"))
    check(header.stdout.strip() == "pngload", "nottzf_png.tzf: %r" % header.stdout)
    print("ok: golden corpus through vips copy and vips tzfload (%d files)" % len(entries))


def test_header_only():
    entries = [(n, k) for n, k, _ in corpus_list(os.path.join(CORPUS, "expected.tsv"))
               if k in ("ok", "truncated")]
    paths = [os.path.join(CORPUS, name) for name, _ in entries]
    result = run(ARGS.vipsheader, *paths)
    lines = result.stdout.splitlines()
    check(result.returncode == 0 and len(lines) == len(paths),
          "vipsheader: %d lines for %d files" % (len(lines), len(paths)))
    # No decoding: the truncated pictures' warnings would show.
    check(result.stderr == "", "vipsheader wrote %r" % result.stderr)
    for path, line in zip(paths, lines):
        width, height, _ = read_png(path[:-4] + ".png")
        check(line == "%s: %dx%d uchar, 3 bands, srgb, tzfload" % (path, width, height),
              "vipsheader printed %r" % line)
    print("ok: vipsheader on %d pictures, truncated ones included, without decoding" %
          len(entries))


def test_signature_and_tools():
    source = os.path.join(CORPUS, "enc_24_scene.tzf")
    expected = read_png(source[:-4] + ".png")
    renamed = os.path.join(WORK, "picture.bin")
    shutil.copy(source, renamed)
    out = os.path.join(WORK, "renamed.ppm")
    result = run(ARGS.vips, "copy", renamed, out)
    check(result.returncode == 0 and read_ppm(out) == expected,
          "a TZF picture named .bin is not read: %s" % result.stderr)
    # From a pipe: tzfload_source.
    with open(source, "rb") as pipe_input:
        result = subprocess.run([ARGS.vips, "copy", "stdin", out], stdin=pipe_input,
                                capture_output=True, text=True)
    check(result.returncode == 0 and read_ppm(out) == expected,
          "vips copy stdin: %s" % result.stderr)
    # A PNG named .tzf is read by the PNG loader.
    fake = os.path.join(WORK, "png-named.tzf")
    shutil.copy(source[:-4] + ".png", fake)
    result = run(ARGS.vipsheader, "-f", "vips-loader", fake)
    check(result.stdout.strip() == "pngload", "a PNG named .tzf: %r" % result.stdout)
    # The loader by name, to the vips format and back.
    vfile = os.path.join(WORK, "named.v")
    result = run(ARGS.vips, "tzfload", source, vfile)
    check(result.returncode == 0 and run(ARGS.vips, "copy", vfile, out).returncode == 0 and
          read_ppm(out) == expected, "vips tzfload: %s" % result.stderr)
    # A thumbnail.
    thumb = os.path.join(WORK, "thumb.png")
    result = run(ARGS.vipsthumbnail, source, "-s", "16", "-o", thumb)
    header = run(ARGS.vipsheader, thumb).stdout
    check(result.returncode == 0 and "16x" in header and clean(result.stderr),
          "vipsthumbnail: %r %r" % (result.stderr, header))
    print("ok: detection by signature, from a pipe, vips tzfload, vipsthumbnail")


def test_write_corpus():
    folder = os.path.join(CORPUS, "write")
    entries = list(corpus_list(os.path.join(folder, "write.tsv")))

    def one(entry):
        name, kind, expected_name = entry
        stem = name[:-len(".png")]
        expected = read_png(os.path.join(folder, expected_name))
        for options, depth in (("", 8 if kind == "palette" else 24),
                               ("[effort=0,bitdepth=24]", 24)):
            tzf = os.path.join(WORK, "write", stem + options.replace(",", "_") + ".tzf")
            result = run(ARGS.vips, "copy", os.path.join(folder, name), tzf + options)
            if not check(result.returncode == 0 and clean(result.stderr),
                         "%s%s: vips copy to TZF failed: %s" % (name, options, result.stderr)):
                continue
            width, height, pixels, bits = libtzf_decode(open(tzf, "rb").read())
            check((width, height, pixels) == expected and bits == depth,
                  "%s%s: libtzf reads %d bits, pixels %s" %
                  (name, options, bits, "equal" if pixels == expected[2] else "differ"))
            if options:
                continue
            back = tzf[:-4] + ".ppm"
            result = run(ARGS.vips, "copy", tzf, back)
            check(result.returncode == 0 and read_ppm(back) == expected,
                  "%s%s: vips reads the file back differently" % (name, options))

    os.makedirs(os.path.join(WORK, "write"))
    in_parallel(one, entries)
    # 8 bits from true colour: at most 256 colours stay exact.
    exact = os.path.join(folder, "rgb_256_colours_64x16.png")
    tzf = os.path.join(WORK, "write", "forced8.tzf")
    result = run(ARGS.vips, "copy", exact, tzf + "[bitdepth=8,dither=0]")
    check(result.returncode == 0 and libtzf_decode(open(tzf, "rb").read()) ==
          read_png(exact) + (8,), "bitdepth=8 on 256 colours: %s" % result.stderr)
    # A grey image is expanded to RGB.
    grey = os.path.join(WORK, "write", "grey.v")
    run(ARGS.vips, "colourspace", exact, grey, "b-w")
    result = run(ARGS.vips, "copy", grey, tzf)
    width, height, pixels, _ = libtzf_decode(open(tzf, "rb").read())
    check(result.returncode == 0 and all(pixels[i] == pixels[i + 1] == pixels[i + 2]
                                         for i in range(0, len(pixels), 3)),
          "a grey image does not become grey RGB: %s" % result.stderr)
    bad = run(ARGS.vips, "copy", exact, tzf + "[bitdepth=16]")
    check(bad.returncode != 0 and "bitdepth" in bad.stderr and clean(bad.stderr),
          "bitdepth=16 should be refused: %r" % bad.stderr)
    print("ok: write corpus round trip (%d pictures) and the save options" % len(entries))


def test_python():
    import gi
    gi.require_version("Vips", "8.0")
    from gi.repository import GObject, Vips
    check(Vips.init(sys.argv[0]) == 0, "vips_init failed")

    def call(name, **arguments):
        operation = Vips.Operation.new(name)
        for key, value in arguments.items():
            GObject.Object.set_property(operation, key, value)
        built = Vips.cache_operation_build(operation)
        return built

    def pixels_of(image):
        return (image.get_width(), image.get_height(), bytes(image.write_to_memory()))

    count = 0
    for name, kind, _ in corpus_list(os.path.join(CORPUS, "expected.tsv")):
        if kind not in ("ok", "truncated"):
            continue
        path = os.path.join(CORPUS, name)
        expected = read_png(path[:-4] + ".png")
        image = GObject.Object.get_property(call("tzfload", filename=path), "out")
        check(pixels_of(image) == expected, "%s: tzfload from Python differs" % name)
        data = open(path, "rb").read()
        blob = Vips.Blob.new(None, data)
        image = GObject.Object.get_property(call("tzfload_buffer", buffer=blob), "out")
        check(pixels_of(image) == expected, "%s: tzfload_buffer from Python differs" % name)
        _, info = libtzf_info(data)
        check(("palette-bit-depth" in image.get_fields()) == (info.bits_per_pixel == 8),
              "%s: palette-bit-depth does not match the %d-bit picture" %
              (name, info.bits_per_pixel))
        strict = Vips.Operation.new("tzfload_buffer")
        GObject.Object.set_property(strict, "buffer", blob)
        GObject.Object.set_property(strict, "fail_on", Vips.FailOn.TRUNCATED)
        try:
            built = Vips.cache_operation_build(strict)
            GObject.Object.get_property(built, "out").write_to_memory()
            failed = False
        except Exception:
            failed = True
        Vips.error_clear()
        check(failed == (kind == "truncated"),
              "%s: fail_on=truncated from Python %s" % (name, "failed" if failed else "loaded"))
        count += 1
        if kind == "ok":
            saved = GObject.Object.get_property(call("tzfsave_buffer", **{"in": image}), "buffer")
            check(libtzf_decode(bytes(saved.get()))[:3] == expected,
                  "%s: tzfsave_buffer from Python differs" % name)
    print("ok: %d pictures through tzfload, tzfload_buffer (fail_on, palette-bit-depth) and "
          "tzfsave_buffer from Python (GObject introspection)" % count)


for test in (test_module_found, test_hostile_header_first, test_golden_corpus, test_header_only,
             test_signature_and_tools, test_write_corpus, test_python):
    started = time.monotonic()
    test()
    print("   (%.1f s)" % (time.monotonic() - started), flush=True)
if FAILURES:
    sys.exit("%d failures" % len(FAILURES))
print("all passed")
