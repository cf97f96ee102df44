#!/usr/bin/env python3
"""Encoders side by side: tzf_encode_bench's table with cwebp beside it.

    bench/encode-compare.py [--bench BUILD/bin/tzf_encode_bench] [--pictures DIR]
                            [--runs N]

Runs tzf_encode_bench on the benchmark pictures (bench/fetch-pictures.sh) and,
in the same run, `cwebp -lossless -z 0` (Debian's webp package) on each
picture's PNG file, timed around the whole process: its start, its reading of
the PNG and its writing of the file are all counted, nothing is subtracted.
Like tzf_encode_bench, which counts its thread's processor time, cwebp is
timed by the processor time the process took (user and system), the fastest
of N runs; the wall clock is printed beside it. Prints two markdown tables:
every encoder on every picture, and fast against smallest.

The pictures are linked into a folder of their own, with one more made from
photo-aitzgorri by ImageMagick's convert where it is installed: the same
photograph at 3840x2160 (photo-uhd).
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CACHE = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache"))


def picture_folder(source: Path) -> Path:
    folder = CACHE / "tzf-bench-encode"
    folder.mkdir(parents=True, exist_ok=True)
    for png in sorted(source.glob("*.png")):
        if png.name == "photo.png":  # the same picture as photo-kleiber
            continue
        link = folder / png.name
        if not link.exists():
            link.symlink_to(png.resolve())
    uhd = folder / "photo-uhd.png"
    big = source / "photo-aitzgorri.png"
    if not uhd.exists() and big.exists() and shutil.which("convert"):
        subprocess.run(["convert", str(big), "-resize", "3840x2160!", str(uhd)], check=True)
    return folder


def time_cwebp(png: Path, runs: int):
    """Fastest processor and wall time of cwebp on `png`, and the file's size."""
    best_cpu = best_wall = float("inf")
    size = 0
    with tempfile.TemporaryDirectory() as work:
        out = Path(work) / "out.webp"
        for _ in range(runs):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            subprocess.run(["cwebp", "-quiet", "-lossless", "-z", "0", str(png), "-o", str(out)],
                           check=True)
            wall = time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            best_cpu, best_wall = min(best_cpu, cpu), min(best_wall, wall)
            size = out.stat().st_size
    return best_cpu, best_wall, size


def main() -> int:
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", type=Path, default=root / "build-bench/bin/tzf_encode_bench")
    parser.add_argument("--pictures", type=Path,
                        default=Path(os.environ.get("TZF_BENCH_PICTURES", CACHE / "tzf-bench")))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    if not args.bench.exists():
        print(f"error: {args.bench} is missing (build tzf_encode_bench with "
              "-DTZF_BUILD_BENCH=ON)", file=sys.stderr)
        return 1
    have_cwebp = shutil.which("cwebp") is not None
    if not have_cwebp:
        print("note: cwebp is missing (Debian package webp); its column is left out",
              file=sys.stderr)
    folder = picture_folder(args.pictures)

    with tempfile.NamedTemporaryFile(suffix=".tsv") as tsv:
        subprocess.run([str(args.bench), str(folder), "--tsv", tsv.name], check=True,
                       stdout=subprocess.DEVNULL)
        lines = Path(tsv.name).read_text().splitlines()

    # picture -> (size text, input bytes, [(encoder, seconds, bytes, note)])
    pictures = {}
    for line in lines:
        name, dims, encoder, seconds, size, input_bytes = line.split("\t")
        entry = pictures.setdefault(name, (dims, int(input_bytes), []))
        entry[2].append((encoder, float(seconds), int(size), ""))
    if have_cwebp:
        for name, (_, _, rows) in pictures.items():
            cpu, wall, size = time_cwebp(folder / f"{name}.png", args.runs)
            rows.append(("cwebp -lossless -z 0", cpu, size, f"wall {wall * 1e3:.0f} ms"))

    print("| picture | size | encoder | ms | MB/s | bytes | vs smallest | |")
    print("|---|---|---|---:|---:|---:|---:|---|")
    for name, (dims, input_bytes, rows) in pictures.items():
        smallest = next(r[2] for r in rows if r[0] == "tzf smallest")
        for encoder, seconds, size, note in rows:
            print(f"| {name} | {dims} | {encoder} | {seconds * 1e3:.1f} | "
                  f"{input_bytes / seconds / 1e6:.0f} | {size} | "
                  f"{100 * (size / smallest - 1):+.1f}% | {note} |")

    print()
    print("| picture | smallest ms | fast ms | fast / smallest speed | fast MB/s | "
          "fast size vs smallest | f14cd7e ms |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name, (dims, input_bytes, rows) in pictures.items():
        by = {r[0]: r for r in rows}
        s, f = by["tzf smallest"], by["tzf fast"]
        old = by.get("f14cd7e optimal")
        print(f"| {name} {dims} | {s[1] * 1e3:.1f} | {f[1] * 1e3:.1f} | {s[1] / f[1]:.1f}x | "
              f"{input_bytes / f[1] / 1e6:.0f} | {100 * (f[2] / s[2] - 1):+.2f}% | "
              f"{old[1] * 1e3 if old else float('nan'):.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
