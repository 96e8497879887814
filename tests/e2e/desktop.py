"""A private desktop for driving the real program: an X server (Xvfb), a
PulseAudio daemon that paces the sound device, and an ALSA configuration whose
default device is ALSA's file plugin over that daemon: capture returns the
bytes of a prepared file in real time, playback is written to a file byte for
byte. Everything lives below one folder and is torn down with the object."""

import os
import shutil
import signal
import subprocess
import time


def _wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.05)
    raise TimeoutError(f"timed out waiting for {what}")


class Desktop:
    def __init__(self, root, capture_file, width=1280, height=800):
        self.root = root
        self.procs = []
        os.makedirs(root, exist_ok=True)
        self.playback_file = os.path.join(root, "playback.raw")
        self.capture_file = capture_file
        self.env = dict(os.environ)
        self.env.pop("QT_QPA_PLATFORM", None)
        self._start_x(width, height)
        self._start_pulse()
        self._write_alsa_config()

    # -- X server
    def _start_x(self, width, height):
        for n in range(90, 190):
            if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
                break
        self.display = f":{n}"
        self.screen = (width, height)
        # -noreset: by default the server resets when its last client leaves,
        # and a program that connects during that reset is refused.
        self.xvfb_log = os.path.join(self.root, "xvfb.log")
        with open(self.xvfb_log, "a") as log:
            xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                                    stdout=log, stderr=subprocess.STDOUT)
        self.xvfb = xvfb
        self.procs.append(xvfb)
        _wait_for(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}"), 20, "Xvfb")
        self.env["DISPLAY"] = self.display

    def ensure_x(self):
        """Starts a new X server when the one in use has gone (its process
        ended or its socket vanished); True when it did."""
        socket = f"/tmp/.X11-unix/X{self.display[1:]}"
        if self.xvfb.poll() is None and os.path.exists(socket):
            return False
        if self.xvfb.poll() is None:
            self.xvfb.terminate()
            self.xvfb.wait()
        self.procs.remove(self.xvfb)
        self._start_x(*self.screen)
        return True

    # -- sound: a PulseAudio null sink paces the ALSA file plugin
    def _start_pulse(self):
        runtime = os.path.join(self.root, "xdg")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        os.chmod(runtime, 0o700)
        self.env["XDG_RUNTIME_DIR"] = runtime
        self.env["PULSE_SERVER"] = f"unix:{runtime}/pulse/native"
        script = os.path.join(self.root, "pulse.pa")
        with open(script, "w") as f:
            f.write("load-module module-null-sink sink_name=orvant_sink rate=22050 channels=2\n"
                    "load-module module-native-protocol-unix\n"
                    "set-default-sink orvant_sink\n"
                    "set-default-source orvant_sink.monitor\n")
        pulse = subprocess.Popen(["pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
                                  "--disallow-exit", "--log-target=file:" + os.path.join(self.root, "pulse.log")],
                                 env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(pulse)
        _wait_for(lambda: subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL).returncode == 0, 30, "PulseAudio")

    def _write_alsa_config(self):
        conf = os.path.join(self.root, "asound.conf")
        with open(conf, "w") as f:
            f.write(f"""pcm.!default {{
  type file
  slave.pcm "paced"
  file "{self.playback_file}"
  infile "{self.capture_file}"
  format "raw"
}}
pcm.paced {{ type pulse }}
ctl.!default {{ type pulse }}
""")
        self.env["ALSA_CONFIG_PATH"] = conf

    # -- X helpers
    def xdotool(self, *args, check=True):
        r = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True, text=True, timeout=60)
        if check and r.returncode != 0:
            raise RuntimeError(f"xdotool {' '.join(map(str, args))}: {r.stderr.strip()}")
        return r.stdout.strip()

    def find_window(self, title, timeout=90):
        """Window id of the visible window whose title is exactly title."""
        found = []

        def look():
            out = self.xdotool("search", "--onlyvisible", "--name", f"^{title}$", check=False)
            found[:] = out.split()
            return bool(found)

        _wait_for(look, timeout, f"window {title!r}")
        return found[-1]

    def window_gone(self, title):
        return not self.xdotool("search", "--onlyvisible", "--name", f"^{title}$", check=False)

    def geometry(self, wid):
        out = self.xdotool("getwindowgeometry", "--shell", wid)
        g = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])

    def click(self, wid, x, y):
        """Clicks at (x, y) of the window's client area, through the X server."""
        wx, wy, _, _ = self.geometry(wid)
        self.xdotool("mousemove", "--sync", wx + x, wy + y)
        self.xdotool("click", "1")

    def key(self, wid, *keys):
        """Presses keys in the window through the X server's input path."""
        self.xdotool("windowfocus", "--sync", wid)
        self.xdotool("key", "--delay", "60", *keys)

    def type_text(self, wid, text):
        self.xdotool("windowfocus", "--sync", wid)
        self.xdotool("type", "--delay", "20", text)

    def wait_painted(self, wid, timeout=60):
        """Waits until the window shows more than a plain background: a
        window is visible before it has painted."""
        path = os.path.join(self.root, "painted.png")

        def look():
            self.screenshot(path, wid)
            colours = subprocess.run(["identify", "-format", "%k", path], capture_output=True, text=True).stdout
            return colours.isdigit() and int(colours) > 2

        _wait_for(look, timeout, f"window {wid} painted")

    def screenshot(self, path, wid=None):
        args = ["import", "-display", self.display, "-window", wid or "root", path]
        subprocess.run(args, env=self.env, check=True, timeout=60, capture_output=True)
        return path

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.procs.clear()
        shutil.rmtree(os.path.join(self.root, "xdg"), ignore_errors=True)
