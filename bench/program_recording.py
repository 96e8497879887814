#!/usr/bin/env python3
"""The real program's CPU time and peak memory while it records through its
window: starts bin/orvant on a private desktop (see tests/e2e/desktop.py),
selects the first phrase, records SECONDS, stops, and reads the process's
CPU time and peak resident set from /proc.

With "meter" after SECONDS it instead runs bench/bench_app_meter on the same
desktop: the refresh rate of the level meter on "Rec" while recording.

Usage: program_recording.py BUILD_DIR SOURCE_DIR [SECONDS] [meter]"""

import os
import sys
import time

build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0
meter = len(sys.argv) > 4 and sys.argv[4] == "meter"
sys.path.insert(0, os.path.join(source, "tests", "e2e"))
import e2e_session as e2e  # noqa: E402

e2e.BUILD, e2e.SOURCE = build, source


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Measure(e2e.ProgramTestCase):
    def test_recording(self):
        prog = self.lay_out_program("bench")
        proc, main, _ = self.start_program(prog, 9)
        self.select_row(main, 1, "bench-tree.png")
        time.sleep(1.0)
        idle_cpu, idle_rss = cpu_seconds(proc.pid), peak_rss_kib(proc.pid)
        t0 = time.monotonic()
        self.press(main, "Rec")
        time.sleep(seconds)
        cpu = cpu_seconds(proc.pid) - idle_cpu
        wall = time.monotonic() - t0
        self.press(main, "Stop")
        rss = peak_rss_kib(proc.pid)
        frames = e2e.wav_data(os.path.join(prog, "recorded", "p001.wav"))[3]
        self.press(main, "Exit")
        proc.wait(30)
        print(f"\nrecorded {frames / 22050:.1f} s in {wall:.1f} s of wall time")
        print(f"program CPU while recording: {cpu:.3f} s = {100 * cpu / wall:.2f}% of one core")
        print(f"peak resident memory: {idle_rss} KiB before Rec, {rss} KiB after {seconds:.0f} s of recording")


class Meter(e2e.ProgramTestCase):
    def test_meter(self):
        env = dict(self.desk.env, QT_QPA_PLATFORM="offscreen")
        out = e2e.run(os.path.join(build, "bench", "bench_app_meter"), str(seconds), env=env, text=True)
        print("\n" + out.stdout, end="")


if __name__ == "__main__":
    import unittest
    unittest.main(argv=[sys.argv[0], "Meter" if meter else "Measure"])
