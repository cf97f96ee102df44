#!/usr/bin/env python3
"""Command-line test of tzfconv.

Writes a few tiny TZF pictures (literal pixels only), runs the program on
them (files, standard input and output, batches on several threads) and
checks output files byte for byte (BMP) or pixel for pixel and palette
(PNG, decoded here with zlib), exit statuses and messages. With --emulator the
program is a Win32 build run under that emulator (Wine); every start costs
about a second there, so the checks are grouped into few runs.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from cli_files import png_rows, read, write

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL: " + what, file=sys.stderr)


# --- pictures ---------------------------------------------------------------


def tzf_picture(width, height, bits, rows_bottom_first, palette=b""):
    """A TZF file whose every pixel is a literal; rows are tightly packed."""
    pixels = b"".join(rows_bottom_first)
    count = max(width, 0) * max(height, 0)
    flags = bytes((count + 7) // 8)
    header = bytearray(64)
    header[0:4] = b"TZF\0"
    struct.pack_into("<I", header, 4, 3)
    struct.pack_into("<i", header, 8, 64)
    struct.pack_into("<i", header, 12, width)
    struct.pack_into("<i", header, 16, height)
    struct.pack_into("<h", header, 24, bits)
    struct.pack_into("<i", header, 40, 1088 if bits == 8 else 64)
    struct.pack_into("<I", header, 48, len(flags))
    struct.pack_into("<I", header, 52, 0)
    return bytes(header) + palette + flags + pixels


def expected_bmp(width, height, bits, rows_bottom_first, palette=b""):
    """The BMP file the filter's two blocks make: rows padded to four bytes."""
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, 0, 0, 0,
                       256 if bits == 8 else 0, 0) + palette
    body = b"".join(r + bytes(-len(r) % 4) for r in rows_bottom_first)
    offset = 14 + len(info)
    return b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset) + info + body


# 5 x 3, 24-bit: 15 bytes per row, so each stored row carries one pad byte.
W24, H24 = 5, 3
ROWS24 = [bytes((17 * r + 3 * i + 1) & 0xFF for i in range(W24 * 3)) for r in range(H24)]
# 3 x 2, 8-bit with 256 distinct colours: one pad byte per row.
W8, H8 = 3, 2
PALETTE8 = b"".join(bytes(((i * 7) & 0xFF, (255 - i), (i * 13) & 0xFF, 0)) for i in range(256))
ROWS8 = [bytes((200, 1, 77)), bytes((5, 255, 128))]

PICTURE24 = tzf_picture(W24, H24, 24, ROWS24)
PICTURE8 = tzf_picture(W8, H8, 8, ROWS8, PALETTE8)
BMP24 = expected_bmp(W24, H24, 24, ROWS24)
BMP8 = expected_bmp(W8, H8, 8, ROWS8, PALETTE8)
ZERO_WIDTH = tzf_picture(0, 2, 24, [])


def read_png(data):
    """(width, height, colour type, palette as RGB bytes, rows top first)."""
    return png_rows(data)


def bgr_to_rgb(row):
    return b"".join(row[i:i + 3][::-1] for i in range(0, len(row), 3))


# --- running the program ----------------------------------------------------


class Program:
    def __init__(self, command, workdir):
        self.command = command
        self.workdir = workdir
        self.runs = 0

    def run(self, *args, stderr=None, stdin=None):
        """(exit status, stdout, stderr) with line ends and path separators
        made uniform; the bytes written to stdout stay in self.stdout_bytes.
        `stdin` names a file in the work folder to read from. Output goes
        through files, not pipes: a Wine server started by the run inherits
        the program's handles and would hold a pipe open until it exits."""
        self.runs += 1
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
                open(os.path.join(self.workdir, stdin) if stdin else os.devnull, "rb") as feed:
            result = subprocess.run(self.command + list(args), cwd=self.workdir, stdout=out,
                                    stderr=err if stderr is None else stderr, stdin=feed,
                                    timeout=120)
            out.seek(0)
            err.seek(0)
            self.stdout_bytes = out.read()
            stdout = self.stdout_bytes.decode("utf-8", "replace").replace("\r\n", "\n")
            stderr_text = err.read().decode("utf-8", "replace")
        stderr_text = stderr_text.replace("\r\n", "\n").replace("\\", "/")
        return result.returncode, stdout, stderr_text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tzfconv", required=True)
    parser.add_argument("--emulator", nargs="*", default=[])
    parser.add_argument("--png", action="store_true", help="the build writes PNG")
    parser.add_argument("--release", required=True, help="the project's version, e.g. 1.0.0")
    options = parser.parse_args()
    emulated = bool(options.emulator)

    workdir = tempfile.mkdtemp(prefix="tzfconv-test-")
    env_note = "under " + " ".join(options.emulator) if emulated else "natively"
    print("tzfconv test " + env_note + " in " + workdir)
    try:
        write(os.path.join(workdir, "p24.tzf"), PICTURE24)
        write(os.path.join(workdir, "p8.tzf"), PICTURE8)
        write(os.path.join(workdir, "zero.tzf"), ZERO_WIDTH)
        write(os.path.join(workdir, "notes.tzf"), b"these are notes, not a picture\n")
        write(os.path.join(workdir, "folder", "a.tzf"), PICTURE24)
        write(os.path.join(workdir, "folder", "B.TZF"), PICTURE8)
        write(os.path.join(workdir, "folder", "readme.txt"), b"text")
        write(os.path.join(workdir, "folder", "sub", "c.tzf"), PICTURE24)
        program = Program(options.emulator + [os.path.abspath(options.tzfconv)], workdir)
        out = lambda name: os.path.join(workdir, name)

        code, stdout, _ = program.run("--version")
        check(code == 0 and stdout == "tzfconv %s\n" % options.release,
              "--version: %d %r" % (code, stdout))

        code, stdout, _ = program.run("--help")
        check(code == 0 and stdout.startswith("usage: tzfconv") and "--info" in stdout,
              "--help: %d" % code)

        # One picture to BMP: exact bytes, nothing on stderr (not a terminal).
        code, stdout, stderr = program.run("p24.tzf", "one.bmp")
        check(code == 0 and stdout == "" and stderr == "",
              "single BMP: %d %r %r" % (code, stdout, stderr))
        check(os.path.exists(out("one.bmp")) and read(out("one.bmp")) == BMP24,
              "single BMP bytes")

        # A batch with good, missing, non-TZF and broken inputs and a folder.
        code, _, stderr = program.run("-o", "batch", "--format", "bmp", "p24.tzf",
                                      "missing.tzf", "notes.tzf", "zero.tzf", "p8.tzf", "folder")
        check(code == 2, "batch exit status %d" % code)
        for message in ("tzfconv: cannot read missing.tzf: No such file or directory\n",
                        "tzfconv: notes.tzf: not a TZF picture\n",
                        "tzfconv: zero.tzf: broken picture (invalid size 0x2)\n",
                        "tzfconv: 4 of 7 pictures converted\n"):
            check(message in stderr, "batch message %r in %r" % (message, stderr))
        for name, expected in (("p24.bmp", BMP24), ("p8.bmp", BMP8), ("a.bmp", BMP24),
                               ("B.bmp", BMP8)):
            path = os.path.join(workdir, "batch", name)
            check(os.path.exists(path) and read(path) == expected, "batch output " + name)
        for name in ("zero.bmp", "notes.bmp", "missing.bmp", "c.bmp", "readme.bmp"):
            check(not os.path.exists(os.path.join(workdir, "batch", name)),
                  "batch made no " + name)

        code, stdout, stderr = program.run("--info", "p24.tzf", "p8.tzf", "zero.tzf")
        check(code == 2 and stdout == "p24.tzf: 5x3, 24-bit\np8.tzf: 3x2, 8-bit\n",
              "--info: %d %r" % (code, stdout))
        check("tzfconv: zero.tzf: broken picture (invalid size 0x2)\n" in stderr,
              "--info broken picture: %r" % stderr)

        # A file that ends early converts with a warning and exit status 0; a
        # picture over the size limits is refused before anything is allocated.
        corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus")
        shutil.copy(os.path.join(corpus, "trunc_8_in_literals.tzf"), out("cut.tzf"))
        shutil.copy(os.path.join(corpus, "limit_8_65535x65535.tzf"), out("huge.tzf"))
        shutil.copy(os.path.join(corpus, "trunc_8_streams_huge.tzf"), out("huge-streams.tzf"))
        code, _, stderr = program.run("--format", "bmp", "cut.tzf", "cut.bmp")
        check(code == 0 and os.path.exists(out("cut.bmp")) and
              "tzfconv: warning: cut.tzf: the file ends early: it holds 11 of the picture's 24 "
              "rows; the rest is black\n" in stderr, "truncated file: %d %r" % (code, stderr))
        code, _, stderr = program.run("--format", "bmp", "huge.tzf", "huge.bmp")
        check(code == 2 and not os.path.exists(out("huge.bmp")) and
              "tzfconv: huge.tzf: not converted: the picture is 65535x65535, over the size "
              "limits (--no-limits lifts them)\n" in stderr, "over the limits: %d %r" % (code, stderr))

        # An output that cannot be written: its folder does not exist.
        code, _, stderr = program.run("p8.tzf", "no-such-folder/out.bmp")
        check(code == 3, "unwritable output exit status %d" % code)
        check("tzfconv: cannot write no-such-folder/out.bmp: No such file or directory\n"
              in stderr, "unwritable output message %r" % stderr)

        code, _, stderr = program.run("--library", "no-such-filter.lib", "p24.tzf", "x.bmp")
        check(code == 4 and "tzfconv: cannot load the filter library no-such-filter.lib" in stderr,
              "missing library: %d %r" % (code, stderr))
        check(not os.path.exists(out("x.bmp")), "missing library writes nothing")

        # Standard input and output, and batches converted several pictures
        # at a time: (arguments, stdin, exit status, messages, {output: bytes};
        # the output "-" is what went to stdout).
        cut_bmp = read(out("cut.bmp"))
        streams = [
            (["--format", "bmp", "-", "-"], "p24.tzf", 0, [], {"-": BMP24}),
            (["-", "stdin8.bmp"], "p8.tzf", 0, [], {"stdin8.bmp": BMP8}),
            (["--format=bmp", "p8.tzf", "-"], None, 0, [], {"-": BMP8}),
            (["--format", "bmp", "-", "-"], "cut.tzf", 0,
             ["tzfconv: warning: standard input: the file ends early: it holds 11 of the "
              "picture's 24 rows; the rest is black\n"], {"-": cut_bmp}),
            (["-", "-"], "notes.tzf", 2, ["tzfconv: standard input: not a TZF picture\n"], {}),
            (["-", "-"], "zero.tzf", 2,
             ["tzfconv: standard input: broken picture (invalid size 0x2)\n"], {}),
            # Its header names streams of gigabytes; the stream holds none.
            (["--format", "bmp", "-", "huge-streams.bmp"], "huge-streams.tzf", 0,
             ["tzfconv: warning: standard input: the file ends early: it holds 0 of the "
              "picture's 3 rows; the rest is black\n"], {}),
            (["--format", "bmp", "-", "-"], "huge.tzf", 2,
             ["tzfconv: standard input: not converted: the picture is 65535x65535, over the "
              "size limits (--no-limits lifts them)\n"], {}),
            (["--info", "-"], "p8.tzf", 0, [], {"-": b"-: 3x2, 8-bit\n"}),
            # One bad picture among four: the others are converted.
            (["-j", "2", "-o", "par", "--format", "bmp", "p24.tzf", "notes.tzf", "p8.tzf",
              "folder/a.tzf"], None, 2,
             ["tzfconv: notes.tzf: not a TZF picture\n", "tzfconv: 3 of 4 pictures converted\n"],
             {"par/p24.bmp": BMP24, "par/p8.bmp": BMP8, "par/a.bmp": BMP24}),
            (["-j3", "-q", "-o", "par3", "--format", "bmp", "folder", "p8.tzf", "p24.tzf",
              "missing.tzf"], None, 2,
             ["tzfconv: cannot read missing.tzf: No such file or directory\n"],
             {"par3/p24.bmp": BMP24, "par3/p8.bmp": BMP8, "par3/a.bmp": BMP24,
              "par3/B.bmp": BMP8}),
            (["--jobs=1", "--format", "bmp", "-o", "par1", "p8.tzf", "zero.tzf"], None, 2,
             ["tzfconv: 1 of 2 pictures converted\n"], {"par1/p8.bmp": BMP8}),
        ]
        for args, stdin, status, messages, outputs in streams:
            code, _, stderr = program.run(*args, stdin=stdin)
            what = "%r < %s" % (args, stdin)
            check(code == status, "%s: exit status %d, not %d: %r" % (what, code, status, stderr))
            for message in messages:
                check(message in stderr, "%s: message %r in %r" % (what, message, stderr))
            if "-" not in outputs:
                check(program.stdout_bytes == b"", "%s: nothing on stdout" % what)
            for name, expected in outputs.items():
                if name == "-":
                    got = program.stdout_bytes
                    if "--info" in args:  # text, with Windows' line ends there
                        got = got.replace(b"\r\n", b"\n")
                else:
                    got = read(out(name)) if os.path.exists(out(name)) else None
                check(got == expected, "%s: output %s" % (what, name))

        if options.png:
            # PNG: decoded here and compared with the pictures' rows.
            code, _, stderr = program.run("-q", "-o", "png", "p24.tzf", "p8.tzf")
            check(code == 0 and stderr == "", "PNG batch: %d %r" % (code, stderr))
            png24 = read_png(read(os.path.join(workdir, "png", "p24.png")))
            check(png24 is not None and png24[:3] == (W24, H24, 2) and
                  png24[4] == [bgr_to_rgb(r) for r in reversed(ROWS24)], "24-bit PNG pixels")
            png8 = read_png(read(os.path.join(workdir, "png", "p8.png")))
            palette_rgb = b"".join(PALETTE8[i * 4:i * 4 + 3][::-1] for i in range(256))
            rows8 = list(reversed(ROWS8))
            check(png8 is not None and png8[:3] == (W8, H8, 3) and png8[3] == palette_rgb and
                  png8[4] == rows8, "8-bit PNG keeps its palette and indices")
            code, _, _ = program.run("p8.tzf", "one.png")
            check(code == 0 and read_png(read(out("one.png")))[4] == rows8,
                  "single PNG by extension")
            # Standard output is PNG unless told otherwise; 8-bit pictures
            # keep their palette there too, and in a batch of several threads.
            code, _, _ = program.run("-", "-", stdin="p8.tzf")
            png8 = read_png(program.stdout_bytes)
            check(code == 0 and png8 is not None and png8[2] == 3 and png8[3] == palette_rgb and
                  png8[4] == rows8, "8-bit PNG on stdout keeps its palette")
            code, _, _ = program.run("-q", "-j", "2", "-o", "png2", "p8.tzf", "folder")
            for name in ("p8.png", "B.png"):
                png8 = read_png(read(os.path.join(workdir, "png2", name)))
                check(code == 0 and png8 is not None and png8[2] == 3 and
                      png8[3] == palette_rgb and png8[4] == rows8, "paletted PNG " + name)
        else:
            code, _, stderr = program.run("p24.tzf", "x.png")
            check(code == 1 and "this build writes BMP only" in stderr,
                  "PNG refused: %d %r" % (code, stderr))

        if not emulated:
            # Usage errors.
            for args in ([], ["p24.tzf"], ["--bogus", "p24.tzf", "x.bmp"], ["p24.tzf", "x.gif"],
                         ["--format", "tiff", "-o", "d", "p24.tzf"], ["p24.tzf", "x.bmp", "y"],
                         ["--format", "png", "p24.tzf", "x.bmp"], ["folder", "x.bmp"],
                         ["-o", "d", "-"], ["--info", "-", "p8.tzf", "-"], ["-j", "0", "-o", "d",
                         "p24.tzf"], ["-jx", "-o", "d", "p24.tzf"], ["-j"], ["--jobs=65", "-o",
                         "d", "p24.tzf"]):
                code, stdout, stderr = program.run(*args)
                check(code == 1 and "Try 'tzfconv --help'" in stderr and stdout == "",
                      "usage error for %r: %d %r" % (args, code, stderr))

            # Folders: not recursive unless asked; clashing names are not overwritten.
            code, _, stderr = program.run("-q", "-r", "--format=bmp", "-o", "deep", "folder")
            check(code == 0 and stderr == "", "recursive folder: %d %r" % (code, stderr))
            check(sorted(os.listdir(out("deep"))) == ["B.bmp", "a.bmp", "c.bmp"],
                  "recursive folder outputs %r" % os.listdir(out("deep")))
            code, _, stderr = program.run("--format", "bmp", "-o", "clash", "p24.tzf",
                                          "folder/sub/c.tzf", "folder/a.tzf", "p8.tzf")
            check(code == 0, "distinct names: %d %r" % (code, stderr))
            write(out("other/p24.tzf"), PICTURE8)
            code, _, stderr = program.run("--format", "bmp", "-o", "clash2", "p24.tzf",
                                          "other/p24.tzf", "missing.tzf")
            check(code == 3 and "other/p24.tzf: not converted:" in stderr and
                  read(out("clash2/p24.bmp")) == BMP24, "clashing outputs: %d %r" % (code, stderr))

            # A progress bar when stderr is a terminal.
            try:
                import pty
                master, slave = pty.openpty()
                code, _, _ = program.run("-o", "bar", "--format", "bmp", "p24.tzf", "p8.tzf",
                                         stderr=slave)
                os.close(slave)
                shown = b""
                while True:
                    try:
                        piece = os.read(master, 4096)
                    except OSError:
                        break
                    if not piece:
                        break
                    shown += piece
                os.close(master)
                text = shown.decode("utf-8", "replace")
                # The bar counts pictures; either may be the last one done.
                check(code == 0 and ("[1/2] p24.tzf ##########..........   50%" in text or
                                     "[1/2] p8.tzf ##########..........   50%" in text) and
                      ("[2/2] p8.tzf ####################  100%" in text or
                       "[2/2] p24.tzf ####################  100%" in text),
                      "progress bar on a terminal: %d %r" % (code, text))
            except ImportError:
                print("no pty module: progress bar not checked")

        print("%d runs of tzfconv" % program.runs)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES), file=sys.stderr)
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
