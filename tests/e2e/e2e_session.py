#!/usr/bin/env python3
"""End to end: a speaker's whole session through the real program.

Lays out a program folder with a small catalogue and reference samples,
starts the real executable on a private X server with ALSA's file plugin as
its sound device (capture reads a prepared speech recording, playback is
written to a file) and the real collection server, orvant-collect, on
127.0.0.1 (the Python test server where a server must misbehave), and drives the window
through the X server as a person would. Screenshots are kept in the build
folder (e2e-artifacts/).

Usage: e2e_session.py BUILD_DIR SOURCE_DIR
"""

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave
import zlib

from desktop import Desktop

BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.getcwd()
SOURCE = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else os.path.dirname(os.path.dirname(os.path.dirname(__file__)))
ARTIFACTS = os.path.join(BUILD, "e2e-artifacts")
MAIN_TITLE = "Orvant Sound Recording Tool"
UPLOAD_TITLE = "Corvane Voice Record Upload"

# Button centres in the main window's client area: a 137-pixel column of
# seven 70-pixel buttons.
BUTTONS = {name: (68, 35 + 70 * i) for i, name in enumerate(
    ["Exit", "How it should sound like", "Rec", "Stop", "Pause", "Play Record", "Compress and Upload"])}

# The tree's area inside the main window (right of the button column), from
# where the captions of the second level begin: the branch lines to the left
# would join the rows.
TREE_AREA = (137 + 2 + 40, 2, 811 - 2, 496 - 2)

# Colours the program draws: the level bar inside "Rec" and the badge of a
# take that failed a check.
LEVEL_BAR = (0, 214, 90)
TAKE_BADGE = (176, 0, 32)

CATALOGUE = """<?xml version="1.0"?>
<phrases caption="Session">
  <p caption="Good morning." wav="p001"/>
  <p caption="How are you?" wav="p002"/>
  <p caption="Thank you" wav="p003"/>
</phrases>
"""
SAMPLES = {"Goodmorning.wav": "Good morning.", "Howareyou.wav": "How are you?", "Thankyou.wav": "Thank you"}
FRAME = 4          # Stereo16bit22050Hz
RATE_BYTES = 88200


def slurp(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def run(*args, **kw):
    return subprocess.run(list(args), check=True, capture_output=True, **kw)


def speak_to_wav(text, path):
    """Reference speech as a Stereo16bit22050Hz WAV file."""
    raw = path + ".espeak.wav"
    run("espeak-ng", "-w", raw, text)
    run("sox", raw, "-r", "22050", "-c", "2", "-b", "16", "-e", "signed-integer", path)
    os.remove(raw)


def make_capture(path, seconds=90):
    """Raw Stereo16bit22050Hz speech, long enough for every take of a session."""
    tmp = path + ".wav"
    speak_to_wav("This is the speaker reading the phrases of the catalogue, one after another, "
                 "slowly and clearly, so that every take holds real speech.", tmp)
    run("sox", tmp, "-t", "raw", "-r", "22050", "-c", "2", "-b", "16", "-e", "signed-integer",
        path + ".one", "pad", "0", "0.5")
    one = slurp(path + ".one")
    data = bytearray()
    while len(data) < seconds * RATE_BYTES:
        data += one
    with open(path, "wb") as f:
        f.write(bytes(data[: seconds * RATE_BYTES]))
    os.remove(tmp)
    os.remove(path + ".one")


def wav_data(path):
    with wave.open(path, "rb") as w:
        return (w.getframerate(), w.getnchannels(), w.getsampwidth(), w.getnframes(),
                w.readframes(w.getnframes()))


def read_archive(path):
    """Entries of a voice archive: [(name, bytes)], read with Python's zlib."""
    blob = slurp(path)
    (count,) = struct.unpack_from("<i", blob, 0)
    pos, entries = 4, []
    for _ in range(count):
        (name_len,) = struct.unpack_from("<i", blob, pos)
        pos += 4
        name = blob[pos:pos + name_len].decode("utf-16-le").rstrip("\0")
        pos += name_len
        (size,) = struct.unpack_from("<i", blob, pos)
        pos += 4
        d = zlib.decompressobj()
        data = d.decompress(blob[pos:])
        pos = len(blob) - len(d.unused_data)
        assert len(data) == size, (name, len(data), size)
        entries.append((name, data))
    assert pos == len(blob), "trailing bytes after the last entry"
    return entries


def held_open(path):
    """Whether a process of ours has the file open."""
    real = os.path.realpath(path)
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
            if any(os.readlink(f"/proc/{pid}/fd/{fd}") == real for fd in fds):
                return True
        except OSError:
            continue
    return False


def green_rows(png, x0, y0, x1, y1):
    """Text rows of the tree area (top to bottom) and whether each holds green text."""
    out = subprocess.run(["convert", png, "-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage",
                          "-depth", "8", "rgb:-"], check=True, capture_output=True).stdout
    w, h = x1 - x0, y1 - y0
    bg = (220, 226, 233)
    rows, band = [], None
    for y in range(h):
        line = out[y * w * 3:(y + 1) * w * 3]
        ink = green = 0
        for x in range(w):
            r, g, b = line[3 * x], line[3 * x + 1], line[3 * x + 2]
            if abs(r - bg[0]) + abs(g - bg[1]) + abs(b - bg[2]) > 60:
                ink += 1
                if g - r > 50 and g - b > 30:
                    green += 1
        if ink:
            band = band or [y, y, 0]
            band[1] = y
            band[2] += green
        elif band:
            rows.append(band)
            band = None
    if band:
        rows.append(band)
    return [(top, bottom, greens > 3) for top, bottom, greens in rows]


class ProgramTestCase(unittest.TestCase):
    """A private desktop, speech to capture, and helpers to run the program."""

    @classmethod
    def setUpClass(cls):
        os.makedirs(ARTIFACTS, exist_ok=True)
        cls.root = tempfile.mkdtemp(prefix="orvant-e2e-")
        cls.capture = os.path.join(cls.root, "capture.raw")
        make_capture(cls.capture)
        cls.desk = Desktop(os.path.join(cls.root, "desk"), cls.capture)

    @classmethod
    def tearDownClass(cls):
        cls.desk.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    # -- program folder, sound device, server, program
    def pulse_device(self):
        """ALSA's default device straight on the sound server, whose default
        source is the monitor of the sink that "speech" is played into."""
        conf = os.path.join(self.root, "pulse-only.conf")
        with open(conf, "w") as f:
            f.write("pcm.!default { type pulse }\nctl.!default { type pulse }\n")
        return {"ALSA_CONFIG_PATH": conf}

    def lay_out_program(self, name):
        prog = os.path.join(self.root, name)
        os.makedirs(os.path.join(prog, "samples"))
        os.makedirs(os.path.join(prog, "recorded"))
        shutil.copy2(os.path.join(BUILD, "bin", "orvant"), os.path.join(prog, "orvant"))
        with open(os.path.join(prog, "orvant.xml"), "w") as f:
            f.write(CATALOGUE)
        for fname, text in SAMPLES.items():
            speak_to_wav(text, os.path.join(prog, "samples", fname))
        return prog

    def start_server(self, mode="ok"):
        save = tempfile.mkdtemp(prefix="server-", dir=self.root)
        port_file = os.path.join(save, "port")
        srv = subprocess.Popen([sys.executable, os.path.join(SOURCE, "tests", "upload", "collection_server.py"),
                                "--port", "0", "--port-file", port_file, "--save-dir", save, "--mode", mode],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (srv.terminate(), srv.wait()))
        end = time.monotonic() + 30
        while not (os.path.exists(port_file) and slurp(port_file, "r").strip()):
            self.assertLess(time.monotonic(), end, "collection server did not start")
            time.sleep(0.05)
        return int(slurp(port_file, "r").strip()), save

    def start_collect(self, *args):
        """orvant-collect serving a new store on a free port; (port, store, log)."""
        store = tempfile.mkdtemp(prefix="store-", dir=self.root)
        log = os.path.join(store + ".log")
        out, err = open(store + ".out", "w+"), open(log, "w")
        srv = subprocess.Popen([os.path.join(BUILD, "collect", "orvant-collect"), "serve", "--store", store,
                                "--listen", "127.0.0.1:0", "--allow-root", *args], stdout=out, stderr=err)
        self.addCleanup(lambda: (srv.terminate(), srv.wait(), out.close(), err.close()))
        end = time.monotonic() + 30
        while "listening on" not in slurp(out.name, "r"):
            self.assertIsNone(srv.poll(), "orvant-collect ended: " + slurp(log, "r")[-500:])
            self.assertLess(time.monotonic(), end, "orvant-collect did not start")
            time.sleep(0.05)
        port = int(slurp(out.name, "r").split("listening on ")[1].split(":")[-1].split()[0])
        return port, store, log

    def stored_uploads(self, store):
        """The folders of the uploads a store keeps."""
        top = os.path.join(store, "uploads")
        if not os.path.isdir(top):
            return []
        return sorted(os.path.join(top, day, u) for day in os.listdir(top) for u in os.listdir(os.path.join(top, day)))

    def assert_stored_whole(self, folder, takes, speaker):
        """The stored upload holds every take byte for byte, the speaker's
        details, and an archive orvant-collect verify finds whole."""
        meta = json.loads(slurp(os.path.join(folder, "upload.json"), "r"))
        self.assertEqual(meta["speaker"]["name"], speaker)
        for name, path in takes.items():
            self.assertEqual(slurp(os.path.join(folder, name)), slurp(path), name)
        archive = os.path.join(folder, meta["archive"])
        self.assertEqual(dict(read_archive(archive))["info.txt"],
                         f"Speakername={speaker}\r\nCountry=Unknown\r\nRegion=Unknown\r\n".encode())
        verify = subprocess.run([os.path.join(BUILD, "collect", "orvant-collect"), "verify", archive],
                                capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        return meta

    def upload_flow(self, prog, main, mode_port, held_in=None):
        """Uploads through the dialog; with held_in (the save folder of a
        server in mode hang) aborts once the server holds the request."""
        self.press(main, "Compress and Upload")
        dlg = self.desk.find_window(UPLOAD_TITLE)
        self.desk.wait_painted(dlg)
        self.desk.click(dlg, 76, 116)
        if held_in:
            self.wait_until(lambda: os.path.exists(os.path.join(held_in, "1.held")), 120, "the upload under way")
            self.desk.click(dlg, 152 + 68, 116)
            confirm = self.desk.find_window("Bestätigen")
            self.shot("32-abort-confirm.png", confirm)
            self.desk.key(confirm, "alt+j")
        else:
            box = self.desk.find_window(UPLOAD_TITLE + r"\.\.\.", timeout=120)
            self.shot(f"31-outcome-{mode_port}.png", box)
            self.desk.key(box, "Return")
        self.wait_until(lambda: self.desk.window_gone(UPLOAD_TITLE), 60, "dialog closed")

    def start_program(self, prog, port, extra_env=None, preexec=None):
        if self.desk.ensure_x():
            print(f"\nthe X server had gone ({slurp(self.desk.xvfb_log, 'r')[-300:]!r}); "
                  f"a new one runs on {self.desk.display}", file=sys.stderr)
        env = dict(self.desk.env)
        env["ORVANT_UPLOAD_HOST"] = port if isinstance(port, str) else f"127.0.0.1:{port}"
        env["TMPDIR"] = os.path.join(self.root, "tmp-" + os.path.basename(prog))
        os.makedirs(env["TMPDIR"], exist_ok=True)
        env.update(extra_env or {})
        # Started from another current directory: the program must find its
        # files beside its executable.
        log = open(os.path.join(self.root, os.path.basename(prog) + ".out"), "w")
        self.addCleanup(log.close)
        proc = subprocess.Popen([os.path.join(prog, "orvant")], cwd=self.root, env=env,
                                stdout=log, stderr=subprocess.STDOUT, preexec_fn=preexec)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        try:
            wid = self.desk.find_window(MAIN_TITLE)
        except TimeoutError:
            log.flush()
            xlog = slurp(self.desk.xvfb_log, "r")[-1500:]
            raise AssertionError(f"X server {'alive' if self.desk.xvfb.poll() is None else 'ended ' + str(self.desk.xvfb.poll())}: {xlog}; no main window; program {'exited with ' + str(proc.poll()) if proc.poll() is not None else 'still running'}; "
                                 f"its output: {slurp(log.name, 'r')[-2000:]}")
        self.desk.wait_painted(wid)
        return proc, wid, env["TMPDIR"]

    def select_row(self, wid, index, name):
        """Clicks the tree's text row number index (0 = the top node), once
        the tree shows it. What is done next reaches the program after the
        click: the X server keeps the order of input."""
        rows = []

        def shown():
            rows[:] = green_rows(self.shot(name, wid), *TREE_AREA)
            return len(rows) > index

        self.wait_until(shown, 30, f"tree row {index} shown")
        top, bottom, _ = rows[index]
        self.desk.click(wid, TREE_AREA[0] + 60, TREE_AREA[1] + (top + bottom) // 2)

    def wait_played(self, data, what):
        """Waits until the playback file holds at least data's length and
        checks that it begins with exactly those bytes."""
        self.wait_until(lambda: os.path.exists(self.desk.playback_file)
                        and os.path.getsize(self.desk.playback_file) >= len(data), 60, what)
        played = slurp(self.desk.playback_file)
        self.assertEqual(played[: len(data)], data, what + ": bytes reached the device unchanged")

    def wait_error_box(self, main, name, timeout=60):
        """The application's error box (a second window with the main
        window's title); screenshots it, closes it with Return."""
        found = []

        def look():
            out = self.desk.xdotool("search", "--onlyvisible", "--name", f"^{MAIN_TITLE}$", check=False).split()
            found[:] = [w for w in out if w != main]
            return bool(found)

        self.wait_until(look, timeout, "error box")
        box = found[-1]
        self.desk.wait_painted(box)
        self.shot(name, box)
        self.desk.key(box, "Return")
        self.wait_until(lambda: box not in self.desk.xdotool("search", "--onlyvisible", "--name",
                                                             f"^{MAIN_TITLE}$", check=False).split(),
                        30, "error box closed")

    def folder_state(self, folder, skip=("info.txt",)):
        return {f: slurp(os.path.join(folder, f)) for f in sorted(os.listdir(folder)) if f not in skip}

    def assert_take_length(self, frames, t0, t1):
        """A take holds the time between "Rec" and "Stop": never more, and
        less only by the device's start latency and one period at the end."""
        took = frames / 22050
        msg = f"take {took:.3f} s, Rec to Stop {t1 - t0:.3f} s"
        self.assertLessEqual(took, (t1 - t0) + 0.1, msg)
        self.assertGreaterEqual(took, (t1 - t0) - MAX_SHORTFALL_S, msg)

    def wait_take(self, path):
        """Waits for the take to be complete and gives its data: the
        recorder has closed the file (it keeps it open until its last buffer
        is written and the header completed), and the header states what the
        file holds. The header is current after every buffer, so the size
        alone cannot tell a finished take from one still growing."""
        def settled():
            try:
                data = wav_data(path)[4]
            except (OSError, EOFError, wave.Error):
                return False
            return os.path.getsize(path) == 46 + len(data) and not held_open(path)

        self.wait_until(settled, 30, "take complete")
        return wav_data(path)[4]

    def open_first_phrase(self, name, extra_env=None):
        """The program in a new folder, on the first phrase: (process,
        window, path of that phrase's take)."""
        prog = self.lay_out_program(name)
        proc, main, _ = self.start_program(prog, 9, extra_env=extra_env)
        self.select_row(main, 1, f"6x-{name}-tree.png")
        return proc, main, os.path.join(prog, "recorded", "p001.wav")

    def record(self, main, seconds):
        """Presses "Rec", waits, and gives the time "Rec" was pressed."""
        t0 = self.press(main, "Rec")
        time.sleep(seconds)
        return t0

    def press(self, wid, button):
        self.desk.click(wid, *BUTTONS[button])
        return time.monotonic()

    def shot(self, name, wid=None):
        return self.desk.screenshot(os.path.join(ARTIFACTS, name), wid)

    def wait_shot(self, name, wid, shows, timeout=30):
        """Screenshots the window until shows(path) holds or the time is
        up; the path of the last screenshot, for the test to judge."""
        end = time.monotonic() + timeout
        while True:
            shot = self.shot(name, wid)
            if shows(shot) or time.monotonic() > end:
                return shot
            time.sleep(0.1)

    def wait_green_rows(self, wid, name, greens):
        """The tree's rows once its first ones are drawn green as given (or
        as they are after half a minute)."""
        shot = self.wait_shot(name, wid, lambda shot: [g for _, _, g in green_rows(shot, *TREE_AREA)[:len(greens)]] == greens)
        return green_rows(shot, *TREE_AREA)

    def wait_until(self, predicate, timeout, what):
        end = time.monotonic() + timeout
        while not predicate():
            self.assertLess(time.monotonic(), end, f"timed out: {what}")
            time.sleep(0.1)


class Session(ProgramTestCase):
    def test_a_speakers_whole_session(self):
        prog = self.lay_out_program("prog")
        port, store, _ = self.start_collect()
        proc, main, tmpdir = self.start_program(prog, port)
        self.shot("01-started.png", main)
        capture = slurp(self.capture)

        # The top node is selected; select the first phrase.
        self.select_row(main, 1, "01a-tree.png")

        # Hear the reference sample; what the device played is the sample.
        self.press(main, "How it should sound like")
        sample = wav_data(os.path.join(prog, "samples", "Goodmorning.wav"))[4]
        self.wait_played(sample, "reference sample")

        # Record a take of about three seconds.
        t0 = self.record(main, 3.0)
        t1 = self.press(main, "Stop")
        take1 = os.path.join(prog, "recorded", "p001.wav")
        self.wait_until(lambda: os.path.exists(take1), 10, "take p001")
        self.wait_take(take1)
        rate, ch, width, frames, data1 = wav_data(take1)
        self.assertEqual((rate, ch, width), (22050, 2, 2))
        # 18-byte format chunk: the header is 46 bytes.
        self.assertEqual(os.path.getsize(take1), 46 + len(data1))
        self.assertGreater(len(data1), 0)
        self.assertEqual(data1, capture[: len(data1)], "take holds the captured speech")
        self.assert_take_length(frames, t0, t1)

        # Hear the take: it reaches the device byte for byte.
        self.press(main, "Play Record")
        self.wait_played(data1, "take")

        # A second phrase.
        self.select_row(main, 2, "01b-tree.png")
        t0 = self.record(main, 2.0)
        t1 = self.press(main, "Stop")
        take2 = os.path.join(prog, "recorded", "p002.wav")
        self.wait_until(lambda: os.path.exists(take2), 10, "take p002")
        self.wait_take(take2)
        _, _, _, frames2, data2 = wav_data(take2)
        self.assert_take_length(frames2, t0, t1)
        self.assertEqual(data2, capture[: len(data2)])

        # Back to the top node; the two recorded phrases are drawn green.
        self.select_row(main, 0, "01c-tree.png")
        rows = self.wait_green_rows(main, "02-recorded.png", [False, True, True, False])
        self.assertGreaterEqual(len(rows), 4, rows)
        self.assertEqual([g for _, _, g in rows[:4]], [False, True, True, False], rows)

        # Compress and Upload with a typed name.
        self.press(main, "Compress and Upload")
        dlg = self.desk.find_window(UPLOAD_TITLE)
        self.desk.wait_painted(dlg)
        self.desk.click(dlg, 200, 33)
        self.desk.key(dlg, "ctrl+a")
        self.desk.type_text(dlg, "Ada Speaker")
        self.shot("03-upload-dialog.png", dlg)
        self.desk.click(dlg, 76, 116)
        box = self.desk.find_window(UPLOAD_TITLE + r"\.\.\.", timeout=120)
        self.shot("04-upload-complete.png", box)
        self.desk.key(box, "Return")
        self.wait_until(lambda: self.desk.window_gone(UPLOAD_TITLE), 30, "dialog closed")

        # What the collection server keeps.
        uploads = self.stored_uploads(store)
        self.assertEqual(len(uploads), 1, uploads)
        meta = self.assert_stored_whole(uploads[0], {"p001.wav": take1, "p002.wav": take2}, "Ada Speaker")
        self.assertEqual(sorted(e["name"] for e in meta["entries"]), ["info.txt", "p001.wav", "p002.wav"])
        self.assertEqual([f for f in os.listdir(tmpdir) if f.endswith(".zlb")], [], "archive left behind")

        # Exit.
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)


    def test_upload_over_https_goes_only_to_a_server_whose_certificate_checks_out(self):
        prog = self.lay_out_program("https")
        takes = {}
        for name in ("p001.wav", "p002.wav"):
            takes[name] = os.path.join(prog, "recorded", name)
            shutil.copy2(os.path.join(prog, "samples", "Goodmorning.wav"), takes[name])
        certs = tempfile.mkdtemp(prefix="certs-", dir=self.root)
        cert, key = os.path.join(certs, "cert.pem"), os.path.join(certs, "key.pem")
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=orvant-e2e",
            "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert)
        port, store, log = self.start_collect("--tls-cert", cert, "--tls-key", key)
        host = f"https://127.0.0.1:{port}"
        # An authority the program does not know: nothing is sent.
        proc, main, _ = self.start_program(prog, host, {"ORVANT_UPLOAD_CA_FILE": os.path.join(certs, "none.pem")})
        self.upload_flow(prog, main, "https-unknown-authority")
        self.assertEqual(self.stored_uploads(store), [])
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)
        # The server's own certificate as the authority: stored whole.
        proc, main, _ = self.start_program(prog, host, {"ORVANT_UPLOAD_CA_FILE": cert})
        self.upload_flow(prog, main, "https")
        uploads = self.stored_uploads(store)
        self.assertEqual(len(uploads), 1, slurp(log, "r")[-1000:])
        self.assert_stored_whole(uploads[0], takes, "Unknown")
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)


PERIOD_S = 0.025       # the period the device layer asks ALSA for
START_LATENCY_S = 0.2  # from "Rec" to the first frame captured, at most
# A take holds the time from "Rec" to "Stop" but for the device's start
# latency and at most one period and 50 ms at the end.
MAX_SHORTFALL_S = START_LATENCY_S + PERIOD_S + 0.05


def time_code(first, frames):
    """Raw Stereo16bit22050Hz in which each frame states its number (first,
    first + 1, ...): the low 15 bits in the left sample, the next 15 in the
    right one. Never silence: first > 0."""
    import array
    a = array.array("h", bytes(4 * frames))
    a[0::2] = array.array("h", ((k & 0x7FFF) for k in range(first, first + frames)))
    a[1::2] = array.array("h", (((k >> 15) & 0x7FFF) for k in range(first, first + frames)))
    return a.tobytes()


# The speech is played with room to spare: a busy machine then does not
# let the test's player run dry in the middle of a word (the sound server
# would fill the gap with silence and drop what came late).
PLAY_LATENCY_MS = 250


def sounding(data):
    """The frames of raw Stereo16bit22050Hz from its first to its last one that is not silent."""
    frames = [data[i:i + FRAME] for i in range(0, len(data) - len(data) % FRAME, FRAME)]
    loud = [i for i, f in enumerate(frames) if f != bytes(FRAME)]
    return b"".join(frames[loud[0]:loud[-1] + 1])


def without_silence(data):
    """The frames of raw Stereo16bit22050Hz that are not silent."""
    return b"".join(data[i:i + FRAME] for i in range(0, len(data) - len(data) % FRAME, FRAME)
                    if data[i:i + FRAME] != bytes(FRAME))


def frame_code(data, i):
    left, right = struct.unpack_from("<hh", data, 4 * i)
    return left | right << 15


class Takes(ProgramTestCase):
    """What a take holds, recorded in real time from the sound server."""

    def speak(self, path, latency_ms=20):
        """Plays a raw Stereo16bit22050Hz file into the sink, as a speaker
        speaks into the microphone; returns when it has been played."""
        subprocess.run(["pacat", "--raw", "--format=s16le", "--rate=22050", "--channels=2", f"--latency-msec={latency_ms}",
                        "-d", "orvant_sink", path], env=self.desk.env, check=True, timeout=60,
                       stderr=subprocess.DEVNULL)

    def test_a_take_holds_everything_from_rec_to_stop(self):
        """The speaker speaks after "Rec" and presses "Stop" a second after
        the last word, while the sound server, idle again, delivers in
        bursts: the whole speech is in the take, and the take is short of the
        time from "Rec" to "Stop" by the start latency and one period at most."""
        proc, main, take = self.open_first_phrase("timing", self.pulse_device())
        speech = os.path.join(self.root, "speech.raw")
        for first, (pause, words, after) in enumerate([(0.3, 4.0, 1.0), (0.2, 1.0, 0.3), (0.5, 2.0, 1.2)], 1):
            with self.subTest(words=words):
                base = 100000 * first
                with open(speech, "wb") as f:
                    f.write(time_code(base, int(words * 22050)))
                t0 = self.press(main, "Rec")
                time.sleep(pause)
                self.speak(speech)
                time.sleep(after)
                t1 = self.press(main, "Stop")
                data = self.wait_take(take)
                frames = len(data) // 4
                spoken = [i for i in range(frames) if data[4 * i:4 * i + 4] != b"\0\0\0\0"]
                self.assertTrue(spoken, "the speech is in the take")
                codes = [frame_code(data, i) for i in (spoken[0], spoken[-1])]
                shortfall = (t1 - t0) - frames / 22050
                print(f"\nRec to Stop {t1 - t0:.3f} s, take {frames / 22050:.3f} s: short by {shortfall * 1000:.0f} ms; "
                      f"speech frames {codes[0] - base} to {codes[1] - base} of {int(words * 22050)}", file=sys.stderr)
                # The sound server lets a new stream in after a few ms.
                self.assertLessEqual(codes[0] - base, 441, "the speech is in the take from its start")
                self.assertEqual(codes[1], base + int(words * 22050) - 1, "the last word is in the take")
                self.assertEqual(spoken[-1] - spoken[0], codes[1] - codes[0], "nothing lost inside the speech")
                self.assertLessEqual(shortfall, MAX_SHORTFALL_S, "the take reaches from Rec to Stop")
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)

    def test_three_phrases_hands_free(self):
        """F11, then the speaker only reads: each phrase played into the
        sound server becomes its take, with its onset and ending intact and
        300 ms of the room on either side, and the next phrase is selected
        by itself; after the last one the mode ends."""
        proc, main, first = self.open_first_phrase("handsfree", self.pulse_device())
        self.desk.key(main, "F11")
        time.sleep(1.5)  # the recorder hears the room first
        self.shot("70-hands-free-listening.png", main)
        rec = BUTTONS["Rec"]
        for n, text in enumerate(["Good morning.", "How are you today?", "Thank you very much."], 1):
            with self.subTest(phrase=text):
                wav, raw = os.path.join(self.root, f"hf{n}.wav"), os.path.join(self.root, f"hf{n}.raw")
                speak_to_wav(text, wav)
                run("sox", wav, "-t", "raw", raw, "pad", "0.5", "0")
                words = sounding(slurp(raw))
                take = os.path.join(os.path.dirname(first), f"p00{n}.wav")
                if n == 1:
                    # While the speaker speaks: "Rec" shows the level.
                    speaking = threading.Thread(target=self.speak, args=(raw, PLAY_LATENCY_MS))
                    speaking.start()
                    level = False
                    while not level and speaking.is_alive():
                        shot = self.shot("71-hands-free-recording.png", main)
                        level = has_colour(shot, LEVEL_BAR, 0, rec[1] - 35, 137, rec[1] + 35)
                    speaking.join()
                    self.assertTrue(level, "level on Rec")
                else:
                    self.speak(raw, PLAY_LATENCY_MS)
                self.wait_until(lambda: os.path.exists(take), 30, f"take {n}")
                data = self.wait_take(take)
                # Every sound of the speech is in the take, unchanged (the
                # test's sound server may let a gap of silence into it when
                # the machine is busy), with the room's silence before and after.
                self.assertEqual(without_silence(data), without_silence(words), "onset and ending intact")
                at = data.find(sounding(data))
                before, after = at / RATE_BYTES, (len(data) - at - len(sounding(data))) / RATE_BYTES
                print(f"\nhands-free take {n}: {len(data) / RATE_BYTES:.3f} s, {before * 1000:.0f} ms before "
                      f"the speech, {after * 1000:.0f} ms after it", file=sys.stderr)
                self.assertAlmostEqual(before, 0.3, delta=0.06)
                self.assertAlmostEqual(after, 0.3, delta=0.06)
                self.assertEqual(data[:int(0.25 * RATE_BYTES) // FRAME * FRAME].strip(b"\0"), b"", "silence before")
                time.sleep(0.5)  # checked, and the next phrase selected
        done = [False, True, True, True]
        shot = self.wait_shot("72-hands-free-done.png", main,
                              lambda shot: [g for _, _, g in green_rows(shot, *TREE_AREA)[:4]] == done
                              and not has_colour(shot, LEVEL_BAR, 0, rec[1] - 35, 137, rec[1] + 35))
        rows = green_rows(shot, *TREE_AREA)
        self.assertEqual([g for _, _, g in rows[:4]], [False, True, True, True], rows)
        # The mode ended after the last phrase: "Rec" records again.
        self.assertFalse(has_colour(shot, LEVEL_BAR, 0, rec[1] - 35, 137, rec[1] + 35), "the meter is gone")
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)

    def test_rec_after_pause_and_stop_records(self):
        proc, main, take = self.open_first_phrase("paused")
        self.record(main, 1.0)
        self.press(main, "Pause")
        time.sleep(0.5)
        self.press(main, "Stop")
        self.wait_take(take)
        t0 = self.record(main, 2.0)
        t1 = self.press(main, "Stop")
        data = self.wait_take(take)
        self.assertLessEqual((t1 - t0) - len(data) / RATE_BYTES, MAX_SHORTFALL_S, "the take after a paused one records")
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)

    def test_a_killed_recording_leaves_a_readable_take(self):
        proc, main, take = self.open_first_phrase("killed")
        self.record(main, 3.0)
        proc.kill()
        proc.wait(30)
        data = wav_data(take)[4]
        print(f"\nkilled 3 s into a take: {os.path.getsize(take)} bytes, {len(data) / 88200:.2f} s readable",
              file=sys.stderr)
        self.assertGreaterEqual(len(data), 88200, "every buffer written before the kill is in the take")
        self.assertEqual(os.path.getsize(take), 46 + len(data))


class RecAfterPlayback(ProgramTestCase):
    def server_answers(self):
        return subprocess.run(["pactl", "info"], env=self.desk.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0

    def test_rec_right_after_playing_the_take(self):
        """Rec 0.6 s, Stop, Play Record 0.3 s, Stop, forty times: "Rec" never
        finds the take still held by the player. The test's sound server
        daemon stops taking connections after some dozens of these cycles
        (its own command-line client is refused too): the cycle that meets
        that is not counted, and the program goes on with a new daemon."""
        failures = restarts = cycles = 0
        proc, main, take = self.open_first_phrase("cycle")
        while cycles < 40:
            self.record(main, 0.6)
            self.press(main, "Stop")
            self.wait_take(take)
            self.press(main, "Play Record")
            time.sleep(0.3)
            self.press(main, "Stop")
            out = self.desk.xdotool("search", "--onlyvisible", "--name", f"^{MAIN_TITLE}$", check=False).split()
            if not [w for w in out if w != main]:
                cycles += 1
                continue
            if self.server_answers():
                failures += 1
                cycles += 1
                self.wait_error_box(main, f"64-cycle-error-{cycles}.png")
                continue
            restarts += 1
            self.assertLess(restarts, 5, "the sound server keeps refusing")
            proc.kill()
            proc.wait(30)
            type(self).desk.close()
            type(self).desk = Desktop(os.path.join(self.root, f"desk-{restarts}"), self.capture)
            proc, main, take = self.open_first_phrase(f"cycle-{restarts}")
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)
        print(f"\nRec/Stop/Play/Stop: {failures} failed Rec in {cycles} cycles "
              f"({restarts} new sound servers)", file=sys.stderr)
        self.assertEqual(failures, 0)


def has_colour(png, rgb, x0, y0, x1, y1):
    """Whether a pixel of the box (x0, y0)-(x1, y1) of the screenshot has exactly that colour."""
    out = subprocess.run(["convert", png, "-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage",
                          "-depth", "8", "rgb:-"], check=True, capture_output=True).stdout
    return bytes(rgb) in {out[i:i + 3] for i in range(0, len(out), 3)}


class Keyboard(ProgramTestCase):
    def test_one_phrase_with_the_keyboard_only(self):
        """Listen, record, stop, listen back and move on without the mouse,
        watching the level on "Rec"; a silent take left from before is
        flagged, and the upload button counts the takes."""
        prog = self.lay_out_program("keys")
        with wave.open(os.path.join(prog, "recorded", "p003.wav"), "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(22050)
            w.writeframes(bytes(FRAME * 22050))
        proc, main, _ = self.start_program(prog, 9)
        capture = slurp(self.capture)

        self.desk.key(main, "ctrl+Down")  # from the top node to the first phrase
        self.desk.key(main, "F5")
        self.wait_played(wav_data(os.path.join(prog, "samples", "Goodmorning.wav"))[4], "sample by F5")
        self.desk.key(main, "F6")
        t0 = time.monotonic()
        time.sleep(3.0)  # a take of three seconds
        rec = BUTTONS["Rec"]
        shot = self.wait_shot("60-keys-recording.png", main,
                              lambda shot: has_colour(shot, LEVEL_BAR, 0, rec[1] - 35, 137, rec[1] + 35)
                              and has_colour(shot, TAKE_BADGE, *TREE_AREA))
        self.assertTrue(has_colour(shot, LEVEL_BAR, 0, rec[1] - 35, 137, rec[1] + 35), "level bar inside Rec")
        self.assertTrue(has_colour(shot, TAKE_BADGE, *TREE_AREA), "the silent take is flagged")
        self.desk.key(main, "F7")
        t1 = time.monotonic()
        take = os.path.join(prog, "recorded", "p001.wav")
        self.wait_take(take)
        _, _, _, frames, data = wav_data(take)
        self.assertEqual(data, capture[: len(data)])
        self.assert_take_length(frames, t0, t1)
        self.desk.key(main, "F9")
        self.wait_played(data, "take by F9")
        self.desk.key(main, "ctrl+Down")
        rows = self.wait_green_rows(main, "61-keys-next.png", [False, True, False, True])
        self.assertEqual([g for _, _, g in rows[:4]], [False, True, False, True], rows)
        # Tab reaches "Exit", the first button; the space bar presses it.
        self.desk.key(main, "Tab", "space")
        self.assertEqual(proc.wait(30), 0)


class Faults(ProgramTestCase):
    """Nothing recorded is lost or corrupted when things go wrong."""

    def test_disk_full_while_recording_keeps_a_valid_take(self):
        prog = self.lay_out_program("full")
        limit = 120000  # bytes a file of the program may grow to

        def limit_files():
            import resource
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        # The limit holds for every file the process writes, the sound
        # device's own copy included: that one goes to /dev/null here.
        conf = os.path.join(self.root, "full.conf")
        with open(self.desk.env["ALSA_CONFIG_PATH"]) as f:
            text = f.read().replace(self.desk.playback_file, "/dev/null")
        with open(conf, "w") as f:
            f.write(text)
        proc, main, _ = self.start_program(prog, 9, extra_env={"ALSA_CONFIG_PATH": conf}, preexec=limit_files)
        self.select_row(main, 1, "10-full-tree.png")
        self.record(main, 3.5)
        self.wait_error_box(main, "11-disk-full-error.png")
        self.press(main, "Stop")
        take = os.path.join(prog, "recorded", "p001.wav")
        self.wait_take(take)
        rate, ch, width, frames, data = wav_data(take)
        self.assertEqual((rate, ch, width), (22050, 2, 2))
        self.assertGreater(len(data), 0)
        self.assertLessEqual(46 + len(data), limit)
        # The header describes every whole frame that reached the file; at
        # most a partial frame lies after them.
        self.assertEqual(len(data) % FRAME, 0)
        self.assertLess(os.path.getsize(take) - (46 + len(data)), FRAME, "header sizes match what was written")
        self.assertEqual(data, slurp(self.capture)[: len(data)])
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)

    def test_refused_device_shows_the_error_and_keeps_other_takes(self):
        prog = self.lay_out_program("refused")
        other = os.path.join(prog, "recorded", "p002.wav")
        shutil.copy2(os.path.join(prog, "samples", "Howareyou.wav"), other)
        before = slurp(other)
        conf = os.path.join(self.root, "refused.conf")
        with open(conf, "w") as f:
            f.write('pcm.!default { type hw card 31 }\nctl.!default { type hw card 31 }\n')
        proc, main, _ = self.start_program(prog, 9, extra_env={"ALSA_CONFIG_PATH": conf})
        take = os.path.join(prog, "recorded", "p001.wav")
        shutil.copy2(os.path.join(prog, "samples", "Goodmorning.wav"), take)
        take_before = slurp(take)
        self.select_row(main, 1, "20-refused-tree.png")
        self.press(main, "Rec")
        self.wait_error_box(main, "21-refused-error.png")
        # The take "Rec" was about to replace is kept as it was.
        self.assertEqual(slurp(take), take_before)
        self.assertEqual(sorted(os.listdir(os.path.join(prog, "recorded"))), ["p001.wav", "p002.wav"])
        self.assertEqual(slurp(other), before)
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)

    def test_failed_uploads_leave_recorded_untouched(self):
        prog = self.lay_out_program("failing")
        for name in ("p001.wav", "p002.wav"):
            shutil.copy2(os.path.join(prog, "samples", "Goodmorning.wav"), os.path.join(prog, "recorded", name))
        before = self.folder_state(os.path.join(prog, "recorded"))
        # A server that is down: a port nobody listens on.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            down_port = s.getsockname()[1]
        cases = [("down", down_port, None)]
        for mode in ("500", "hang"):
            port, save = self.start_server(mode)
            cases.append((mode, port, save if mode == "hang" else None))
        for mode, port, held_in in cases:
            with self.subTest(mode=mode):
                proc, main, tmpdir = self.start_program(prog, port)
                self.upload_flow(prog, main, mode, held_in=held_in)
                self.assertEqual(self.folder_state(os.path.join(prog, "recorded")), before)
                self.wait_until(lambda: not [f for f in os.listdir(tmpdir) if f.endswith(".zlb")], 10,
                                "archive deleted")
                self.press(main, "Exit")
                self.assertEqual(proc.wait(30), 0)

    def test_malformed_catalogue_gives_the_error_box_and_a_usable_window(self):
        prog = self.lay_out_program("malformed")
        with open(os.path.join(prog, "orvant.xml"), "w") as f:
            f.write('<phrases caption="Session"><p caption="One" wav="p001"/><p caption="Two"')
        env = dict(self.desk.env)
        proc = subprocess.Popen([os.path.join(prog, "orvant")], cwd=self.root, env=env)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        # The error box comes first; the main window follows it.
        box = self.desk.find_window(MAIN_TITLE)
        self.desk.wait_painted(box)
        self.shot("40-malformed-error.png", box)
        self.desk.key(box, "Return")
        main = self.desk.find_window(MAIN_TITLE)
        self.desk.wait_painted(main)
        self.shot("41-malformed-window.png", main)
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)

    def test_closing_while_recording_leaves_a_complete_take(self):
        prog = self.lay_out_program("closing")
        proc, main, _ = self.start_program(prog, 9)
        self.select_row(main, 1, "50-closing-tree.png")
        t0 = self.record(main, 2.5)
        t1 = self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)
        rate, ch, width, frames, data = wav_data(os.path.join(prog, "recorded", "p001.wav"))
        self.assertEqual((rate, ch, width), (22050, 2, 2))
        self.assertEqual(os.path.getsize(os.path.join(prog, "recorded", "p001.wav")), 46 + len(data))
        self.assert_take_length(frames, t0, t1)
        self.assertEqual(data, slurp(self.capture)[: len(data)])


class SampleFormats(ProgramTestCase):
    """Reference samples as recorders, editors and codecs save them play
    through the default device on the sound server; one no codec reads gives
    the error box."""

    def hear(self, main, seconds, name):
        """Presses "How it should sound like" while recording the sink's
        monitor; the frames heard (raw Stereo16bit22050Hz)."""
        out = os.path.join(self.root, name + ".raw")
        rec = subprocess.Popen(["parecord", "--raw", "--format=s16le", "--rate=22050", "--channels=2",
                                "--latency-msec=20", "-d", "orvant_sink.monitor", out], env=self.desk.env,
                               stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: rec.poll() is None and (rec.kill(), rec.wait()))
        self.wait_until(lambda: subprocess.run(["pactl", "list", "short", "source-outputs"], env=self.desk.env,
                                               capture_output=True, text=True).stdout.strip(), 30, "parecord")
        self.press(main, "How it should sound like")
        # Recorded for the sample's time and half a second more.
        self.wait_until(lambda: os.path.exists(out) and os.path.getsize(out) >= (seconds + 0.5) * RATE_BYTES,
                        seconds + 30, "the sample's time recorded")
        rec.terminate()
        rec.wait(30)
        return slurp(out)

    def test_samples_in_other_formats_are_heard(self):
        prog = self.lay_out_program("formats")
        samples = os.path.join(prog, "samples")
        speech = os.path.join(self.root, "formats-speech.wav")
        shutil.copy2(os.path.join(samples, "Goodmorning.wav"), speech)
        # 64-bit floats, which no codec reads.
        run("sox", speech, "-e", "floating-point", "-b", "64", os.path.join(samples, "Thankyou.wav"))
        seconds = float(run("soxi", "-D", speech).stdout)
        proc, main, _ = self.start_program(prog, 9, extra_env=self.pulse_device())
        # Each saved as sox saves it (24 bits and six channels in extensible
        # records) just before it is played.
        for row, name, options in ((1, "24bit", ["-b", "24"]), (2, "ima-adpcm", ["-e", "ima-adpcm"]),
                                   (1, "gsm", ["-r", "8000", "-c", "1", "-e", "gsm-full-rate"]),
                                   (2, "six-channels", ["-c", "6"])):
            with self.subTest(name):
                run("sox", speech, *options, os.path.join(samples, ["Goodmorning.wav", "Howareyou.wav"][row - 1]))
                self.select_row(main, row, f"70-formats-{name}-tree.png")
                heard = self.hear(main, seconds, name)
                loud = sum(1 for i in range(0, len(heard) - 3, 4)
                           if abs(struct.unpack_from("<h", heard, i)[0]) > 300)
                print(f"\n{name}: {loud / 22050:.2f} s of {seconds:.2f} s heard above -40 dB", file=sys.stderr)
                # Speech has pauses: a third of the sample's time is loud.
                self.assertGreater(loud, seconds * 22050 / 3, f"the {name} sample is heard")
                self.assertFalse([w for w in self.desk.xdotool("search", "--onlyvisible", "--name",
                                                               f"^{MAIN_TITLE}$", check=False).split() if w != main],
                                 "no error box")
        self.select_row(main, 3, "72-formats-float64-tree.png")
        self.press(main, "How it should sound like")
        self.wait_error_box(main, "73-formats-unplayable-error.png")
        self.press(main, "Exit")
        self.assertEqual(proc.wait(30), 0)


if __name__ == "__main__":
    # Further arguments name single tests, e.g. Faults.test_disk_full_while_recording_keeps_a_valid_take
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
