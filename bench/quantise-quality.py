#!/usr/bin/env python3
"""8-bit versions of photographs: libtzf's against ImageMagick's and pngquant's.

For every picture, tzf_quantise_bench encodes it to 8 bits through tzf_encode
(with and without error diffusion) and measures the PSNR of the result against
the original after a Gaussian blur of sigma 1.5 pixels; ImageMagick
(convert -dither FloydSteinberg -colors 256) and pngquant 256 make their own
8-bit versions, measured the same way. Prints a markdown table. The results go
to the --out folder as PNG files, to look at.

Seconds: tzf_encode alone (the quickest of --repeat runs, the run search at
TZF_EFFORT_FAST included); the other two programs' whole run, reading and
writing PNG included.

  bench/quantise-quality.py --bench build/bin/tzf_quantise_bench [PICTURE.png|FOLDER ...]

With no pictures: photo-*.png in ~/.cache/tzf-bench (bench/fetch-pictures.sh)
and its heldout/ folder.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path


def measure(bench, original, extra):
    out = subprocess.run([bench, str(original), *extra], check=True, capture_output=True, text=True)
    fields = dict(re.findall(r"(\w+)=([0-9.]+)", out.stdout))
    return float(fields["psnr_blurred"]), float(fields["seconds"])


def timed(command):
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def size_of(path):
    out = subprocess.run(["identify", "-format", "%wx%h", str(path)], check=True,
                         capture_output=True, text=True)
    return out.stdout.strip()


def pictures_from(args):
    if not args.pictures:
        cache = Path(os.environ.get("TZF_BENCH_PICTURES",
                                    Path.home() / ".cache" / "tzf-bench"))
        args.pictures = [str(p) for p in sorted(cache.glob("photo-*.png"))]
        args.pictures += [str(p) for p in sorted((cache / "heldout").glob("*.png"))]
    found = []
    for name in args.pictures:
        p = Path(name)
        found += sorted(p.glob("*.png")) if p.is_dir() else [p]
    return [p for p in found if p.name != "photo.png"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", required=True, help="the built tzf_quantise_bench")
    parser.add_argument("--out", default="looked-at", help="folder for the 8-bit results")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("pictures", nargs="*")
    args = parser.parse_args()
    convert = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else shutil.which("convert")
    pngquant = shutil.which("pngquant")
    if convert is None or pngquant is None:
        sys.exit("needs ImageMagick's convert and pngquant")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    print("| picture | size | tzf dB | tzf s | tzf no dither dB | tzf no dither s "
          "| ImageMagick dB | ImageMagick s | pngquant dB | pngquant s |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for picture in pictures_from(args):
        name = picture.stem
        row = [name, size_of(picture)]
        for label, flags in (("tzf", []), ("tzf-nodither", ["--no-dither"])):
            result = out / f"{name}-{label}.png"
            db, seconds = measure(args.bench, picture,
                                  flags + ["--repeat", str(args.repeat), "--write", str(result)])
            row += [f"{db:.2f}", f"{seconds:.2f}"]
        result = out / f"{name}-imagemagick.png"
        seconds = timed([convert, str(picture), "-dither", "FloydSteinberg", "-colors", "256",
                         f"PNG8:{result}"])
        db, _ = measure(args.bench, picture, ["--compare", str(result)])
        row += [f"{db:.2f}", f"{seconds:.2f}"]
        result = out / f"{name}-pngquant.png"
        seconds = timed([pngquant, "256", "--force", "--output", str(result), str(picture)])
        db, _ = measure(args.bench, picture, ["--compare", str(result)])
        row += [f"{db:.2f}", f"{seconds:.2f}"]
        print("| " + " | ".join(row) + " |", flush=True)


if __name__ == "__main__":
    main()
