#!/usr/bin/python3
"""How fast `convert x.tzf x.ppm` reads TZF pictures through the coder module,
against libtzf's tzf_decode of the same picture plus `convert x.ppm y.ppm` of
the same pixels as a PPM file: the module should cost at most 1.2 times that.

    python3 bench/imagemagick-speed.py --coders BUILD/imagemagick/coders \\
        --config BUILD/imagemagick/config --libtzf BUILD/bin/libtzf.so.0

Reads every *.tzf in ~/.cache/tzf-bench (or --pictures); best of --runs runs
each (convert's processor time, tzf_decode's wall time); prints a markdown
table. tzf_decode is timed twice: into one buffer reused by every run, and
into newly mapped memory, whose first touch costs page faults as the module's
own picture-sized buffer does. ImageMagick finds the build tree's module and
magic.xml through MAGICK_CODER_MODULE_PATH and MAGICK_CONFIGURE_PATH.
"""
import argparse
import glob
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import libtzf_ctypes  # noqa: E402

PARSER = argparse.ArgumentParser()
PARSER.add_argument("--coders", required=True, help="the build tree's folder of tzf.la")
PARSER.add_argument("--config", required=True, help="the build tree's folder of magic.xml")
PARSER.add_argument("--libtzf", required=True)
PARSER.add_argument("--convert", default="/usr/bin/convert-im6.q16")
PARSER.add_argument("--system-coders",
                    default="/usr/lib/x86_64-linux-gnu/ImageMagick-6.9.11/modules-Q16/coders")
PARSER.add_argument("--pictures", default=os.path.expanduser("~/.cache/tzf-bench"))
PARSER.add_argument("--runs", type=int, default=7)
ARGS = PARSER.parse_args()

ENV = dict(os.environ, MAGICK_CODER_MODULE_PATH=ARGS.coders + os.pathsep + ARGS.system_coders,
           MAGICK_CONFIGURE_PATH=ARGS.config)


LIBTZF = libtzf_ctypes.Libtzf(ARGS.libtzf)


def best(function):
    times = []
    for _ in range(ARGS.runs):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return min(times)


def convert_time(source, target):
    """The best of --runs of convert's processor time (user and system): on
    a machine shared with other work, wall time measures the others too."""
    times = []
    for _ in range(ARGS.runs):
        process = subprocess.Popen([ARGS.convert, source, target], env=ENV)
        _, status, usage = os.wait4(process.pid, 0)
        assert status == 0, "convert %s %s failed" % (source, target)
        times.append(usage.ru_utime + usage.ru_stime)
    return min(times)


def main():
    pictures = sorted(glob.glob(os.path.join(ARGS.pictures, "*.tzf")))
    if not pictures:
        raise SystemExit("no *.tzf in %s (bench/fetch-pictures.sh makes them)" % ARGS.pictures)
    print("| picture | size | convert x.tzf x.ppm | tzf_decode | tzf_decode, fresh buffer "
          "| convert x.ppm y.ppm | ratio | ratio, fresh buffer |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    worst = worst_fresh = 0.0
    with tempfile.TemporaryDirectory() as work:
        for path in pictures:
            with open(path, "rb") as f:
                data = f.read()
            info, warm, fresh = LIBTZF.decoders(data)
            decode, fresh = best(warm), best(fresh)
            ppm = os.path.join(work, "x.ppm")
            subprocess.run([ARGS.convert, path, ppm], env=ENV, check=True)
            tzf = convert_time(path, os.path.join(work, "from-tzf.ppm"))
            copy = convert_time(ppm, os.path.join(work, "from-ppm.ppm"))
            ratio = tzf / (decode + copy)
            ratio_fresh = tzf / (fresh + copy)
            worst = max(worst, ratio)
            worst_fresh = max(worst_fresh, ratio_fresh)
            print("| %s | %dx%dx%d | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.2f | %.2f |" % (
                os.path.basename(path)[:-4], info.width, info.height, info.bits_per_pixel,
                tzf * 1e3, decode * 1e3, fresh * 1e3, copy * 1e3, ratio, ratio_fresh))
    print("\nworst ratio: %.2f, %.2f with a fresh buffer (goal: at most 1.20)" %
          (worst, worst_fresh))


if __name__ == "__main__":
    main()
