"""A private desktop for the loader's tests: a gdk-pixbuf loaders cache that
names the built loader, and a MIME database that knows image/x-tzf, set up in
a work folder and announced through the environment before gi is imported.
Also the helpers that make pictures with tzfenc and read tzfconv's output."""

import argparse
import os
import shutil
import subprocess
import sys


def parse_args(extra=None):
    parser = argparse.ArgumentParser()
    for name in ("module", "system-loaders", "query-loaders", "mime-xml", "thumbnailer",
                 "tzfenc", "tzfconv", "sample", "work"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--preload", default="")
    for name in extra or ():
        parser.add_argument("--" + name, required=True)
    args, rest = parser.parse_known_args()
    args.command_line = list(sys.argv)
    sys.argv[1:] = rest
    return args


def _with_preload(args):
    """Runs this script again with the sanitizer runtime preloaded when the
    loader is instrumented (the runtime must be first in the process)."""
    if not args.preload or os.environ.get("LD_PRELOAD") == args.preload:
        return
    env = dict(os.environ, LD_PRELOAD=args.preload,
               ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:quarantine_size_mb=32",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    os.execve(sys.executable, [sys.executable] + args.command_line, env)


def tool_env():
    """The environment for the project's own programs, which carry their own
    sanitizer runtime when they have one."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def prepare(args):
    """Makes the loaders cache and the MIME database in args.work and points
    the environment at them. Call before importing gi."""
    _with_preload(args)
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    system_loaders = sorted(
        os.path.join(args.system_loaders, f) for f in os.listdir(args.system_loaders)
        if f.endswith(".so"))
    cache = subprocess.run([args.query_loaders, os.path.abspath(args.module)] + system_loaders,
                           check=True, capture_output=True, text=True).stdout
    if '"image/x-tzf"' not in cache:
        raise RuntimeError("gdk-pixbuf-query-loaders did not list the TZF loader:\n" + cache)
    cache_file = os.path.join(work, "loaders.cache")
    with open(cache_file, "w") as f:
        f.write(cache)
    data = os.path.join(work, "data")
    packages = os.path.join(data, "mime", "packages")
    os.makedirs(packages)
    shutil.copy(args.mime_xml, packages)
    os.environ["GDK_PIXBUF_MODULE_FILE"] = cache_file
    os.environ["XDG_DATA_HOME"] = data
    os.environ["XDG_DATA_DIRS"] = "/usr/local/share:/usr/share"
    subprocess.run(["update-mime-database", os.path.join(data, "mime")], check=True)
    home = os.path.join(work, "home")
    os.makedirs(home)
    os.environ["HOME"] = home
    os.environ["XDG_CACHE_HOME"] = os.path.join(home, ".cache")
    os.environ["XDG_CONFIG_HOME"] = os.path.join(home, ".config")
    os.environ["GSETTINGS_BACKEND"] = "memory"
    return work


def pattern_pixels(width, height, colours, seed):
    """Rows of blocks, stripes and noise: runs the encoder can refer back to
    next to pixels it has to spell out, from at most `colours` colours."""
    palette = []
    state = seed * 2654435761 % 2**32 or 1
    for _ in range(colours):
        state = (state * 1103515245 + 12345) % 2**31
        palette.append(bytes((state >> 4 & 255, state >> 12 & 255, state >> 20 & 255)))
    out = bytearray()
    for y in range(height):
        for x in range(width):
            state = (state * 1103515245 + 12345) % 2**31
            if (x // 4 + y // 3) % 3 == 0:
                index = (x // 4 + y // 3) % colours
            elif y % 5 == 2:
                index = x % colours
            else:
                index = (state >> 16) % colours
            out += palette[index]
    return bytes(out)


def rgb_of(pixbuf):
    """The pixbuf's red, green and blue bytes, rows packed, alpha dropped."""
    width, height = pixbuf.get_width(), pixbuf.get_height()
    channels, stride = pixbuf.get_n_channels(), pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    out = bytearray()
    for y in range(height):
        row = data[y * stride:y * stride + width * channels]
        if channels == 3:
            out += row
        else:
            for x in range(width):
                out += row[x * channels:x * channels + 3]
    return bytes(out)


def write_png(path, width, height, rgb):
    from gi.repository import GdkPixbuf, GLib
    pixbuf = GdkPixbuf.Pixbuf.new_from_bytes(GLib.Bytes.new(rgb), GdkPixbuf.Colorspace.RGB, False,
                                             8, width, height, width * 3)
    pixbuf.savev(path, "png", [], [])


def encode(args, png, tzf, depth):
    subprocess.run([args.tzfenc, png, tzf, "--depth", str(depth)], check=True, env=tool_env(),
                   stdout=subprocess.DEVNULL)


def reference(args, tzf, png):
    """tzfconv's decoding of `tzf` as (width, height, rgb bytes)."""
    from gi.repository import GdkPixbuf
    subprocess.run([args.tzfconv, tzf, png], check=True, env=tool_env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(png)
    return pixbuf.get_width(), pixbuf.get_height(), rgb_of(pixbuf)


def header(width, height, depth=24, version=3, flags=0, commands=0):
    """A 64-byte TZF header: magic, version, header length, width, height,
    depth at 24, stream offset at 40, stream lengths at 48 and 52."""
    raw = bytearray(64)
    raw[0:4] = b"TZF\0"
    for offset, value in ((4, version), (8, 64), (12, width), (16, height),
                          (40, 1088 if depth == 8 else 64), (48, flags), (52, commands)):
        raw[offset:offset + 4] = (value % 2**32).to_bytes(4, "little")
    raw[24:26] = depth.to_bytes(2, "little")
    return bytes(raw)
