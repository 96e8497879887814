"""The speaker kit as an operator makes it and a speaker starts it.

A catalogue with every kind of problem makes no kit and names each problem.
A small catalogue (samples spoken by espeak-ng) makes a kit that, unpacked
into an empty folder and started from elsewhere on a private X server with
no library or plugin path set, shows its window with the catalogue's phrases
and loads no library from outside the kit beyond the desktop's base.

usage: kit_test.py BINARY_DIR SOURCE_DIR"""
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from desktop import Desktop  # noqa: E402

BASE = re.compile(r"^(ld-linux.*|libc|libm|libdl|libpthread|librt|libresolv|libutil|libstdc\+\+|libgcc_s|libasound|"
                  r"libGL|libGLX|libGLdispatch|libOpenGL|libEGL|libgbm|libdrm)\.so")
HOST = "kit-test.invalid:8080"
TREE_BACKGROUND = (220, 226, 233)
TREE_LINES = (128, 128, 128)  # the dotted branch lines, which would join the rows


def make_kit(source, env, catalogue, samples, out):
    return subprocess.run([os.path.join(source, "scripts", "make-kit.sh"), catalogue, samples, HOST, out],
                          env=env, capture_output=True, text=True, timeout=3000)


def text_rows(png, x0, x1, y0, y1):
    """Bands of rows in which some pixel between x0 and x1 is neither the
    tree's background nor its branch lines: the tree's visible lines."""
    ppm = subprocess.run(["convert", png, "-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
    fields = ppm.split(maxsplit=4)
    width = int(fields[1])
    pixels = fields[4]
    bands, inside = 0, False
    for y in range(y0, y1):
        row = pixels[3 * (y * width + x0):3 * (y * width + x1)]
        busy = any(tuple(row[i:i + 3]) not in (TREE_BACKGROUND, TREE_LINES) for i in range(0, len(row), 3))
        bands += busy and not inside
        inside = busy
    return bands


def main():
    binary, source = sys.argv[1:3]
    env = dict(os.environ, ORVANT_KIT_BUILD=os.path.join(binary, "kit-build"))
    work = tempfile.mkdtemp(prefix="orvant-kit-")
    failures = []

    # Every kind of problem, one run: nothing is packed.
    bad = os.path.join(work, "bad.xml")
    with open(bad, "w") as f:
        f.write('<r caption="Bad">\n <p caption="One" wav="p1"/>\n <p wav="p2"/>\n'
                ' <p caption="Two" wav="../p3"/>\n <p caption="Three" wav="p1"/>\n</r>\n')
    os.makedirs(os.path.join(work, "some-samples"))
    with open(os.path.join(work, "some-samples", "One.wav"), "wb") as f:
        f.write(b"RIFF")
    out = os.path.join(work, "bad.tar.gz")
    r = make_kit(source, env, bad, os.path.join(work, "some-samples"), out)
    report = r.stdout + r.stderr
    print(report)
    if r.returncode == 0 or os.path.exists(out):
        failures.append("a catalogue with problems made a kit")
    for expected in ['line 3: element <p> has no attribute "caption"', 'line 4: the take name "../p3.wav"',
                     'line 5: the take "p1.wav" is shared with the element at line 2',
                     'line 5: the phrase "Three" has no reference sample',
                     'line 2: the reference sample "samples/One.wav" of the phrase "One" would not play: '
                     'it is not a readable WAVE file']:
        if expected not in report:
            failures.append("not reported: " + expected)

    # A good catalogue, samples spoken from the captions.
    good = os.path.join(work, "good.xml")
    with open(good, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<phrases caption="Kit phrases">\n'
                ' <p caption="Good morning!" wav="k1"/>\n <p caption="How are you?" wav="k2"/>\n'
                ' <p caption="See you." wav="k3"/>\n</phrases>\n')
    out = os.path.join(work, "kit.tar.gz")
    started = time.monotonic()
    r = make_kit(source, env, good, "-", out)
    print(r.stdout + r.stderr, f"(kit made in {time.monotonic() - started:.0f} s)")
    if r.returncode != 0:
        print("FAILED: no kit from a good catalogue")
        return 1
    print(f"kit size: {os.path.getsize(out)} bytes")

    speaker = os.path.join(work, "speaker")
    os.makedirs(speaker)
    with tarfile.open(out) as t:
        t.extractall(speaker)
    kit = os.path.join(speaker, "orvant")
    samples = sorted(os.listdir(os.path.join(kit, "samples")))
    if samples != ["Goodmorning.wav", "Howareyou.wav", "Seeyou.wav"]:
        failures.append(f"samples: {samples}")
    if os.listdir(os.path.join(kit, "recorded")):
        failures.append("recorded/ is not empty")
    with open(os.path.join(kit, "orvant"), "rb") as f:
        if HOST.encode() not in f.read():
            failures.append("the program does not post to " + HOST)

    # Start it as a speaker would: from elsewhere, nothing set up.
    desktop = Desktop(os.path.join(work, "desktop"), capture_file=os.devnull, width=1024, height=700)
    run_env = {k: v for k, v in desktop.env.items()
               if k not in ("LD_LIBRARY_PATH", "QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH", "QT_QPA_PLATFORM")}
    program = subprocess.Popen([os.path.join(kit, "orvant")], cwd=work, env=run_env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        wid = desktop.find_window("Orvant Sound Recording Tool", timeout=60)
        _, _, w, h = desktop.geometry(wid)
        if (w, h) != (811, 496):
            failures.append(f"window {w}x{h}, not the main window (an error box?)")
        # Mapped is not yet painted: look until the tree shows its rows (or
        # give up after a minute and judge the last look).
        deadline = time.monotonic() + 60
        while True:
            shot = desktop.screenshot(os.path.join(binary, "kit-window.png"), wid)
            rows = text_rows(shot, 160, 800, 2, 490)
            if rows == 4 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        print(f"tree rows shown: {rows}")
        if rows != 4:
            failures.append(f"the tree shows {rows} rows, not the catalogue's top node and its 3 phrases")
        with open(f"/proc/{program.pid}/maps") as f:
            mapped = {line.split()[-1] for line in f if ".so" in line.split()[-1]}
        outside = sorted(p for p in mapped if not p.startswith(kit + "/") and not BASE.match(os.path.basename(p))
                         and "/gconv/" not in p)
        if outside:
            failures.append("libraries from outside the kit: " + ", ".join(outside))
        if not any(p.startswith(kit + "/plugins/platforms/") for p in mapped):
            failures.append("the kit's platform plugin was not used")
        with open(f"/proc/{program.pid}/maps") as f:
            if kit + "/fonts/tahoma.ttf" not in f.read():
                failures.append("the kit's font was not used")
    finally:
        program.terminate()
        print(program.communicate(timeout=30)[0])
        desktop.close()

    for f in failures:
        print("FAILED:", f)
    if not failures:
        subprocess.run(["rm", "-rf", work])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
