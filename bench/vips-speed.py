#!/usr/bin/python3
"""How fast `vips copy x.tzf x.v` reads TZF pictures through the module,
against libtzf's tzf_decode of the same picture plus `vips copy x.ppm x.v` of
the same pixels as a PPM file: the module should cost at most 1.2 times that.

    python3 bench/vips-speed.py --module BUILD/bin/vips-tzf.so --libtzf BUILD/bin/libtzf.so.0

Reads every *.tzf in ~/.cache/tzf-bench (or --pictures); best of --runs runs
each. The vips runs count the processor time (user and system, all threads)
of the child process, which other work on the machine disturbs less than the
wall clock; tzf_decode runs in this process, single-threaded, where the two are
the same. tzf_decode is timed twice: into one buffer reused by every run,
and into newly mapped memory, whose first touch costs page faults as the
tool's own picture-sized buffer does. Prints a markdown table. libvips finds the module through VIPSHOME, a
temporary home whose modules folder holds it (as vips/tests/vips_test.py does).
"""
import argparse
import glob
import os
import resource
import subprocess
import sys
import sysconfig
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import libtzf_ctypes  # noqa: E402

PARSER = argparse.ArgumentParser()
PARSER.add_argument("--module", required=True)
PARSER.add_argument("--libtzf", required=True)
PARSER.add_argument("--vips", default="vips")
PARSER.add_argument("--pictures", default=os.path.expanduser("~/.cache/tzf-bench"))
PARSER.add_argument("--runs", type=int, default=7)
ARGS = PARSER.parse_args()


LIBTZF = libtzf_ctypes.Libtzf(ARGS.libtzf)


def best(function):
    times = []
    for _ in range(ARGS.runs):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return min(times)


def child_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def best_child(function):
    """The least processor time of the child process `function` runs."""
    times = []
    for _ in range(ARGS.runs):
        started = child_cpu()
        function()
        times.append(child_cpu() - started)
    return min(times)


def main():
    with tempfile.TemporaryDirectory() as work:
        arch = sysconfig.get_config_var("MULTIARCH") or ""
        series = subprocess.run([ARGS.vips, "--version"], capture_output=True,
                                text=True).stdout.split("-")[-1].strip().rsplit(".", 1)[0]
        for libdir in ("lib", os.path.join("lib", arch), arch):
            folder = os.path.join(work, "home", libdir, "vips-modules-" + series)
            os.makedirs(folder, exist_ok=True)
            target = os.path.join(folder, "vips-tzf.so")
            if not os.path.exists(target):
                os.symlink(os.path.abspath(ARGS.module), target)
        env = dict(os.environ, VIPSHOME=os.path.join(work, "home"))

        def vips_copy(source, destination):
            subprocess.run([ARGS.vips, "copy", source, destination], env=env, check=True)

        print("| picture | size | vips copy x.tzf | tzf_decode | tzf_decode, fresh buffer | "
              "vips copy x.ppm | ratio | ratio, fresh buffer |")
        print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |")
        worst = worst_fresh = 0.0
        for path in sorted(glob.glob(os.path.join(ARGS.pictures, "*.tzf"))):
            ppm = os.path.join(work, "picture.ppm")
            out = os.path.join(work, "out.v")
            vips_copy(path, ppm)
            tool = best_child(lambda: vips_copy(path, out))
            ppm_copy = best_child(lambda: vips_copy(ppm, out))
            info, warm, fresh = LIBTZF.decoders(open(path, "rb").read())
            decode, fresh = best(warm), best(fresh)
            size = "%dx%dx%d" % (info.width, info.height, info.bits_per_pixel)
            ratio = tool / (decode + ppm_copy)
            ratio_fresh = tool / (fresh + ppm_copy)
            worst = max(worst, ratio)
            worst_fresh = max(worst_fresh, ratio_fresh)
            print("| %s | %s | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.2f | %.2f |" %
                  (os.path.basename(path)[:-4], size, tool * 1e3, decode * 1e3, fresh * 1e3,
                   ppm_copy * 1e3, ratio, ratio_fresh))
        print()
        print("largest ratio %.2f, %.2f with a fresh buffer (goal: at most 1.2)" %
              (worst, worst_fresh))


main()
