#!/usr/bin/python3
"""The GIMP plug-in as users meet it: gimp-console-2.10 in batch mode with a
configuration folder of its own whose plug-in path holds the build tree's
plug-in, all pictures in one run.

- Every golden-corpus picture that decodes (ok and truncated) opens through
  gimp-file-load, 8-bit ones as indexed images with 256 colours and 24-bit
  ones as RGB; exported as PPM by GIMP, its pixels are the corpus PNG's.
- Each is exported again through file-tzf-save (both efforts) and opened
  again: same kind of image, same pixels, and libtzf (tzfconv) reads the
  written file to the same pixels and depth.
- Every write-corpus PNG opened by GIMP and exported as TZF (by extension
  and by procedure) reads back, in GIMP and through tzfconv, as its
  expected pixels: palette PNGs as 8-bit files, others as 24-bit ones, alpha
  composited over white (the context's background).
- Every failing corpus file gives the loader's error through the procedure's
  error message, never a crash; the signature is recognised without the
  extension and a near miss is not.
- The thumbnail loader gives the picture's size; an unknown effort is
  refused without writing anything.
"""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "tools"))
import cli_files  # noqa: E402
from cli_files import read  # noqa: E402

# Class -> words the error message holds.
ERRORS = {
    "not-tzf": ("Not a TZF picture",),
    "bad-size": ("width or height of 0 or less",),
    "limit": ("larger than the limit of 256 megapixels",
              "larger than GIMP's limit of 524288 pixels a side"),
}
# The pictures GIMP exports as PPM to check what it holds: each export runs
# a plug-in that starts GEGL, seconds each. The others are checked through
# the file file-tzf-save writes of them, which keeps their pixels exactly.
EXPORTED = ("trunc_8_in_literals.tzf", "trunc_24_in_literals.tzf", "enc_8_scene.tzf",
            "enc_24_scene.tzf")
# gimp-image-base-type's answers.
RGB, INDEXED = 0, 2

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def scheme_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def corpus_rows(corpus):
    rows = []
    with open(os.path.join(corpus, "expected.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, class_, _ = line.rstrip("\n").split("\t")
                rows.append((name, class_))
    return rows


def write_rows(corpus):
    rows = []
    with open(os.path.join(corpus, "write", "write.tsv")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                rows.append(tuple(line.rstrip("\n").split("\t")))
    return rows


def read_ppm(path):
    """(width, height, RGB bytes) of a binary PPM."""
    data = read(path)
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        return None
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + width * height * 3]


def png_rgb(path):
    """(width, height, RGB bytes) of an 8-bit PNG file."""
    return cli_files.png_rgb(read(path))


def same_pixels(what, got, expected):
    if not check(got is not None, what + ": no picture"):
        return
    if not check(got[:2] == expected[:2],
                 "%s: %dx%d, expected %dx%d" % (what, got[0], got[1], expected[0], expected[1])):
        return
    if got[2] != expected[2]:
        first = next(i for i in range(min(len(got[2]), len(expected[2])))
                     if got[2][i] != expected[2][i]) if len(got[2]) == len(expected[2]) else -1
        check(False, "%s: pixels differ (first at byte %d)" % (what, first))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gimp", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--system-plugins", required=True)
    parser.add_argument("--tzfconv", required=True)
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    args.corpus = os.path.abspath(args.corpus)

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    config = os.path.join(work, "gimp2")
    for folder in ("brushes", "dynamics", "fonts", "gradients", "palettes", "patterns",
                   "tool-presets", "plug-ins", "scripts", "out", "rt", "written"):
        os.makedirs(os.path.join(work if folder in ("out", "rt", "written") else config, folder),
                    exist_ok=True)
    plugins = os.path.dirname(os.path.dirname(os.path.abspath(args.plugin)))
    with open(os.path.join(config, "gimprc"), "w") as f:
        f.write("(plug-in-path %s)\n" % scheme_string(plugins + ":" + args.system_plugins))

    # The steps of one batch command: each picture's in a catch of its own,
    # so that one refused stops only its own steps. GIMP prints the error.
    batch = []

    def message(text):
        return "(gimp-message %s)" % scheme_string(text)

    # Opens `path`, says what it is, exports it as PPM to `ppm`; when `tzf`
    # is given, exports it as TZF there too with `effort`.
    def open_and_export(tag, path, ppm, tzf=None, effort=0, by_extension=False):
        p, o = scheme_string(path), scheme_string(ppm or "")
        batch.append(message("TRY " + tag))
        steps = ["(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE %s %s)))"
                 " (drawable (car (gimp-image-get-active-drawable image))))" % (p, p),
                 message("OPENED " + tag),
                 "(gimp-message (string-append \"KIND %s \" (number->string (car "
                 "(gimp-image-base-type image))) \" \" (number->string (car "
                 "(gimp-image-get-colormap image)))))" % tag]
        if ppm is not None:
            steps.append("(file-ppm-save RUN-NONINTERACTIVE image drawable %s %s 1)" % (o, o))
        if tzf is not None:
            t = scheme_string(tzf)
            if by_extension:
                steps.append("(gimp-file-save RUN-NONINTERACTIVE image drawable %s %s)" % (t, t))
            else:
                steps.append("(file-tzf-save RUN-NONINTERACTIVE image drawable %s %s %d)"
                             % (t, t, effort))
        steps.append("(gimp-image-delete image))")
        steps.append(message("DONE " + tag))
        batch.append("(catch %s %s)" % (message("STOPPED " + tag), " ".join(steps)))

    def fail_to_open(tag, path, procedure="file-tzf-load"):
        p = scheme_string(path)
        batch.append("%s (catch %s (gimp-image-delete (car (%s RUN-NONINTERACTIVE %s %s))) %s)"
                     % (message("TRY " + tag), message("STOPPED " + tag), procedure, p, p,
                        message("OPENED " + tag)))

    golden = corpus_rows(args.corpus)
    decoding = [(n, c) for n, c in golden if c in ("ok", "truncated")]
    for index, (name, class_) in enumerate(decoding):
        stem = name[:-4]
        open_and_export("load " + name, os.path.join(args.corpus, name),
                        os.path.join(work, "out", stem + ".ppm") if name in EXPORTED else None,
                        os.path.join(work, "rt", stem + ".tzf"), effort=index % 2)
    for name, class_ in decoding:
        stem = name[:-4]
        open_and_export("reload " + name, os.path.join(work, "rt", stem + ".tzf"), None)
    for name, class_ in golden:
        if class_ in ERRORS:
            fail_to_open("fail " + name, os.path.join(args.corpus, name))

    # The signature without the extension, and a near miss.
    sniffed = os.path.join(work, "written", "sniffed.picture")
    shutil.copyfile(os.path.join(args.corpus, "ok_24_3x5.tzf"), sniffed)
    open_and_export("sniff", sniffed, None)
    near = os.path.join(work, "written", "near.picture")
    shutil.copyfile(os.path.join(args.corpus, "nottzf_magic_no_zero.tzf"), near)
    fail_to_open("near", near, "gimp-file-load")

    # The thumbnail loader gives the picture and its size; an effort the
    # saver does not know is refused.
    scene = scheme_string(os.path.join(args.corpus, "enc_24_scene.tzf"))
    batch.append(message("TRY thumb") + " (catch %s (let* ((answer (file-tzf-load-thumb %s 64)))"
                 " (gimp-message (string-append \"THUMB \" (number->string (cadr answer)) \"x\""
                 " (number->string (caddr answer)))) (gimp-image-delete (car answer))))"
                 % (message("STOPPED thumb"), scene))
    bad_effort = scheme_string(os.path.join(work, "written", "bad_effort.tzf"))
    batch.append(message("TRY effort") + " (let* ((image (car (file-tzf-load RUN-NONINTERACTIVE"
                 " %s %s))) (drawable (car (gimp-image-get-active-drawable image))))"
                 " (catch %s (file-tzf-save RUN-NONINTERACTIVE image drawable %s %s 7) %s)"
                 " (gimp-image-delete image))"
                 % (scene, scene, message("STOPPED effort"), bad_effort, bad_effort,
                    message("DONE effort")))

    writes = write_rows(args.corpus)
    for index, (name, kind, expected) in enumerate(writes):
        stem = name[:-4]
        open_and_export("write " + name, os.path.join(args.corpus, "write", name), None,
                        os.path.join(work, "written", stem + ".tzf"), effort=index % 2,
                        by_extension=index % 3 == 0)
    for name, kind, expected in writes:
        stem = name[:-4]
        open_and_export("write-reload " + name, os.path.join(work, "written", stem + ".tzf"),
                        None)

    command = [args.gimp, "-i", "-d", "-f", "--stack-trace-mode", "never"]
    script = os.path.join(work, "batch.scm")
    with open(script, "w") as f:
        f.write("(begin\n" + "\n".join(batch) + ")\n")
    command += ["-b", "(load %s)" % scheme_string(script), "-b", "(gimp-quit 0)"]
    env = dict(os.environ, GIMP2_DIRECTORY=config, LC_ALL="C.UTF-8", LANGUAGE="C")
    env.pop("DISPLAY", None)
    log_path = os.path.join(work, "gimp.log")
    with open(log_path, "wb") as log_file:
        done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=log_file,
                              timeout=240)
    log = read(log_path).decode("utf-8", "replace")
    check(done.returncode == 0, "gimp-console exited with %d" % done.returncode)

    # What the batch said about each tag: OPENED, KIND, DONE, or the error
    # that stopped it.
    said = {}
    current = None
    error_follows = False
    for line in log.splitlines():
        line = line.strip()
        if error_follows and line and current is not None:
            said[current].setdefault("error", line)
        error_follows = line.startswith("GIMP-Error: ") and line.endswith(":")
        marker = "script-fu-Warning: "
        if line.startswith(marker):
            words = line[len(marker):]
            verb, _, rest = words.partition(" ")
            if verb == "TRY":
                current = rest
                said[current] = {}
            elif verb == "THUMB" and current is not None:
                said[current]["size"] = rest
            elif verb == "KIND" and current is not None:
                said[current]["kind"] = tuple(int(x) for x in rest.rsplit(" ", 2)[1:])
            elif current is not None:
                said[current][verb] = True
        elif line.startswith("GIMP-Error: ") and not line.endswith(":") and current is not None:
            said[current].setdefault("error", line)
    for word in ("crash", "Segmentation", "AddressSanitizer", "runtime error", "terminated"):
        check(word not in log, "gimp's output mentions %r (see %s)" % (word, log_path))

    def opened(tag):
        entry = said.get(tag)
        if not check(entry is not None, tag + ": never tried"):
            return None
        if not check("DONE" in entry, "%s: %s" % (tag, entry.get("error", "did not finish"))):
            return None
        return entry

    for name, class_ in decoding:
        stem = name[:-4]
        expected = png_rgb(os.path.join(args.corpus, stem + ".png"))
        depth = 8 if name.startswith(("ok_8", "trunc_8", "enc_8")) else 24
        for tag in ("load " + name, "reload " + name):
            entry = opened(tag)
            if entry is None:
                continue
            base, colormap = entry.get("kind", (-1, -1))
            if depth == 8:
                check(base == INDEXED and colormap == 768,
                      "%s: image type %d with %d colour map bytes, expected indexed with 256"
                      % (tag, base, colormap))
            else:
                check(base == RGB, "%s: image type %d, expected RGB" % (tag, base))
        if name in EXPORTED:
            same_pixels("export " + name, read_ppm(os.path.join(work, "out", stem + ".ppm")),
                        expected)
        written = os.path.join(work, "rt", stem + ".tzf")
        same_pixels("tzfconv " + name, tzfconv_png(args.tzfconv, written, work), expected)
        check(tzfconv_depth(args.tzfconv, written) == depth,
              "%s: written as %s-bit, expected %d" % (name, tzfconv_depth(args.tzfconv, written),
                                                      depth))

    for name, class_ in golden:
        if class_ not in ERRORS:
            continue
        tag = "fail " + name
        entry = said.get(tag)
        if not check(entry is not None, tag + ": never tried"):
            continue
        error = entry.get("error", "")
        check("OPENED" not in entry and any(words in error for words in ERRORS[class_]),
              "%s: expected an error with %s, got %r" % (tag, " or ".join(ERRORS[class_]),
                                                         error or "no error"))

    entry = opened("sniff")
    if entry is not None:
        check(entry.get("kind", (-1,))[0] == RGB, "sniff: opened as %r" % (entry.get("kind"),))
    entry = said.get("near", {})
    check("Unknown file type" in entry.get("error", ""),
          "near: a file without the zero byte after TZF is not taken: %r" % entry)

    scene = png_rgb(os.path.join(args.corpus, "enc_24_scene.png"))
    check(said.get("thumb", {}).get("size") == "%dx%d" % scene[:2],
          "thumb: %r, expected the picture's size %dx%d" % (said.get("thumb"), scene[0], scene[1]))
    entry = said.get("effort", {})
    check("STOPPED" in entry and "DONE" not in entry and
          not os.path.exists(os.path.join(work, "written", "bad_effort.tzf")),
          "effort 7: %r, expected a refusal and no file" % entry)

    for name, kind, expected_name in writes:
        stem = name[:-4]
        expected = png_rgb(os.path.join(args.corpus, "write", expected_name))
        written = os.path.join(work, "written", stem + ".tzf")
        if opened("write " + name) is None:
            continue
        entry = opened("write-reload " + name)
        if entry is None:
            continue
        base = entry.get("kind", (-1, -1))[0]
        depth = 8 if kind == "palette" else 24
        check(base == (INDEXED if depth == 8 else RGB),
              "write %s: reopened as image type %d" % (name, base))
        same_pixels("write tzfconv " + name, tzfconv_png(args.tzfconv, written, work), expected)
        got_depth = tzfconv_depth(args.tzfconv, written)
        check(got_depth == depth, "write %s: %s-bit file, expected %d" % (name, got_depth, depth))

    if FAILURES:
        print("%d failures" % len(FAILURES))
        return 1
    print("ok: %d corpus pictures opened and exported, %d refused, %d written" %
          (len(decoding), sum(1 for _, c in golden if c in ERRORS), len(writes)))
    return 0


def tzfconv_png(tzfconv, path, work):
    out = os.path.join(work, "tzfconv.png")
    if os.path.exists(out):
        os.remove(out)
    done = subprocess.run([tzfconv, path, out], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0 or not os.path.exists(out):
        return None
    return png_rgb(out)


def tzfconv_depth(tzfconv, path):
    done = subprocess.run([tzfconv, "--info", path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    text = done.stdout.decode()
    if done.returncode != 0 or "-bit" not in text:
        return None
    return int(text.rsplit(" ", 1)[1].split("-")[0])


if __name__ == "__main__":
    sys.exit(main())
