"""A real viewer: Eye of GNOME opens a TZF picture on a private X server with
the loaders cache and MIME database of desktop_env, and a screenshot of the
screen has to show the picture's colours. A file of other bytes named .tzf
is opened the same way and must not show them (the viewer's error page), so
that the check is known to tell the two apart."""

import os
import signal
import subprocess
import sys
import time
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_env  # noqa: E402

ARGS = desktop_env.parse_args(["screenshot"])
WORK = desktop_env.prepare(ARGS)

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

WAIT_SECONDS = 30
SCREEN = (1024, 768)


def colour_counts(rgb):
    """Pixels per colour cell: each channel cut to its top three bits."""
    cut = bytes(range(256)).translate(bytes(v >> 5 for v in range(256)))
    rgb = rgb.translate(cut)
    return Counter(zip(rgb[0::3], rgb[1::3], rgb[2::3]))


def dominant_colours(counts):
    """The picture's most common colour cells that are not grey (the viewer's
    own black, grey and white are grey), up to 60% of those pixels."""
    cells = [(cell, n) for cell, n in counts.most_common() if len(set(cell)) > 1]
    total = sum(n for _, n in cells)
    chosen, covered = [], 0
    for cell, n in cells:
        if covered >= total * 0.6 or len(chosen) == 8:
            break
        chosen.append((cell, n))
        covered += n
    return chosen


def shows_picture(screen_counts, dominant):
    """Every dominant cell of the picture on screen with at least a tenth of
    its pixels (the viewer may scale the picture down), and together at least
    a quarter."""
    found = [min(screen_counts.get(cell, 0), n) for cell, n in dominant]
    return (all(f >= n * 0.1 for f, (_, n) in zip(found, dominant))
            and sum(found) >= 0.25 * sum(n for _, n in dominant))


def start_x_server():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % SCREEN,
         "-nolisten", "tcp"],
        pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as f:
        while not number.endswith(b"\n"):
            byte = f.read(1)
            if not byte:
                raise RuntimeError("Xvfb did not start")
            number += byte
    return server, ":" + number.decode().strip()


def viewer_window(display):
    tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", display],
                          capture_output=True, text=True).stdout
    return any('("eog" "Eog")' in line for line in tree.splitlines())


def screenshot(display, path):
    subprocess.run(["import", "-display", display, "-window", "root", "png:" + path], check=True,
                   capture_output=True, timeout=30)
    return GdkPixbuf.Pixbuf.new_from_file(path)


def stop(process):
    """Ends a process group started here: politely, then for sure."""
    if process.poll() is not None:
        return
    for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(grace)
            return
        except subprocess.TimeoutExpired:
            pass


def open_in_viewer(display, path, shot, expect_picture, dominant):
    """Runs eog on `path` until the screen shows the picture or WAIT_SECONDS
    pass; returns (shown, message)."""
    env = dict(os.environ, DISPLAY=display, NO_AT_BRIDGE="1", GDK_BACKEND="x11",
               XDG_RUNTIME_DIR=os.path.join(WORK, "runtime"))
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    log = open(shot + ".log", "wb")
    viewer = subprocess.Popen(
        ["dbus-run-session", "--", "eog", "--new-instance", "--disable-gallery", path],
        env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    shown, window_since = False, None
    try:
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline and viewer.poll() is None:
            time.sleep(0.5)
            if not viewer_window(display):
                continue
            window_since = window_since or time.monotonic()
            screen = desktop_env.rgb_of(screenshot(display, shot))
            shown = shows_picture(colour_counts(screen), dominant)
            # A picture is awaited until it shows; an error page is given
            # three seconds after the window appears.
            if shown == expect_picture and (shown or time.monotonic() - window_since > 3):
                break
    finally:
        stop(viewer)
        log.close()
    if window_since is None:
        with open(shot + ".log", "rb") as f:
            return False, "no viewer window within %d s; eog said:\n%s" % (
                WAIT_SECONDS, f.read().decode(errors="replace"))
    return shown, ""


def main():
    _, _, sample = desktop_env.reference(ARGS, ARGS.sample, os.path.join(WORK, "sample.ref.png"))
    dominant = dominant_colours(colour_counts(sample))
    print("sample's dominant colour cells (r, g, b >> 5): %s" % dominant)
    broken = os.path.join(WORK, "broken.tzf")
    with open(broken, "wb") as f:
        f.write(b"not a picture, only text in a file named like one\n" * 40)
    rows = [
        # File, screenshot, whether the picture's colours are expected.
        (os.path.abspath(ARGS.sample), os.path.abspath(ARGS.screenshot), True),
        (broken, os.path.join(WORK, "eog-error-page.png"), False),
    ]
    server, display = start_x_server()
    failures = 0
    try:
        for path, shot, expect_picture in rows:
            shown, message = open_in_viewer(display, path, shot, expect_picture, dominant)
            ok = shown == expect_picture and not message
            failures += not ok
            print("%s: %s (picture's colours %s on screen; screenshot %s)%s" % (
                "PASS" if ok else "FAIL", os.path.basename(path), "shown" if shown else "not shown",
                shot, "\n" + message if message else ""))
    finally:
        stop(server)
    print("%d passed, %d failed" % (len(rows) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
