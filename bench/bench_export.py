#!/usr/bin/env python3
"""The export's speed and memory against sox file by file.

Usage: bench_export.py ORVANT_COLLECT [TAKES]   (default 10000 takes)

Makes a store of TAKES takes of 3 s (22050 Hz 16-bit stereo, hard links to
six spoken WAVs, 100 takes an upload), then measures, each once in the
same run:
  - `ORVANT_COLLECT export --mono --rate 16000 --trim`: wall time and peak
    resident memory (from wait4's rusage);
  - a shell loop running sox on every take with the same conversion, the
    silence cut done by sox's own effect (the way it is done by hand).
Prints both and their ratio. Everything it writes is removed afterwards.
"""
import hashlib, json, os, resource, shutil, subprocess, sys, tempfile, time

BIN = os.path.abspath(sys.argv[1])
TAKES = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
PER_UPLOAD = 100
TEXTS = ["Good morning, Sarah.", "It is ten o'clock.", "Left and right.", "Call me now.",
         "Where is the station?", "See you tomorrow."]


def run_measured(cmd, **kw):
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{cmd[0]} failed: {p.stderr.read().decode()[-2000:]}")
    return wall, usage.ru_maxrss / 1024  # MiB


def main():
    tmp = tempfile.mkdtemp(prefix="orvant-bench-export-")
    try:
        sources = []
        for i, text in enumerate(TEXTS):
            raw, take = os.path.join(tmp, f"raw{i}.wav"), os.path.join(tmp, f"take{i}.wav")
            subprocess.run(["espeak-ng", "-w", raw, text], check=True)
            # 3 s: speech after 0.4 s of room noise, padded with noise to 3 s.
            subprocess.run(["sox", raw, "-r", "22050", "-c", "2", "-b", "16", os.path.join(tmp, "p.wav"),
                            "pad", "0.4", "3", "trim", "0", "3"], check=True)
            subprocess.run(["sox", "-n", "-r", "22050", "-c", "2", "-b", "16", os.path.join(tmp, "n.wav"),
                            "synth", "3", "whitenoise", "vol", "-60", "dB"], check=True)
            subprocess.run(["sox", "-m", "-v", "1", os.path.join(tmp, "p.wav"), "-v", "1", os.path.join(tmp, "n.wav"),
                            take], check=True)
            sources.append(take)
        store = os.path.join(tmp, "store")
        cat = os.path.join(tmp, "phrases.xml")
        with open(cat, "w") as f:
            f.write('<phrases caption="All">\n')
            for k in range(PER_UPLOAD):
                f.write(f'  <p caption="Phrase {k}: {TEXTS[k % len(TEXTS)]}" wav="p{k:03d}"/>\n')
            f.write("</phrases>\n")
        listing = []
        t0 = time.monotonic()
        for u in range((TAKES + PER_UPLOAD - 1) // PER_UPLOAD):
            folder = f"uploads/2026-12-09/v26120915{u:07d}.zlb-{hashlib.sha256(str(u).encode()).hexdigest()[:12]}"
            d = os.path.join(store, folder)
            os.makedirs(d)
            entries = []
            for k in range(min(PER_UPLOAD, TAKES - u * PER_UPLOAD)):
                name = f"p{k:03d}.wav"
                os.link(sources[k % len(sources)], os.path.join(d, name))
                listing.append((os.path.join(d, name), f"{u:04d}_{k:03d}"))
                entries.append({"name": name, "bytes": os.path.getsize(os.path.join(d, name)), "sha256": "0" * 64,
                                "wave": {"format_tag": 1, "channels": 2, "rate": 22050, "bits": 16,
                                         "duration_ms": 3000}, "flags": []})
            doc = {"archive": f"v26120915{u:07d}.zlb", "sha256": "0" * 64, "bytes": 1,
                   "received": f"2026-12-09T15:{u // 60 % 60:02d}:{u % 60:02d}Z", "client": "127.0.0.1",
                   "folder": folder, "speaker": {"name": f"Speaker {u}", "country": "C", "region": "R",
                                                 "encoding": "utf-8"}, "entries": entries}
            with open(os.path.join(d, "upload.json"), "w") as f:
                json.dump(doc, f)
        print(f"store of {len(listing)} takes made in {time.monotonic() - t0:.1f} s")

        out = os.path.join(tmp, "corpus")
        wall, rss = run_measured([BIN, "export", "--store", store, "--catalogue", cat, "--mono", "--rate", "16000",
                                  "--trim", out])
        made = len(os.listdir(os.path.join(out, "wavs")))
        print(f"orvant-collect export: {wall:.1f} s for {made} takes ({made / wall:.0f} takes/s), "
              f"peak RSS {rss:.1f} MiB")

        soxout = os.path.join(tmp, "sox")
        os.makedirs(soxout)
        script = os.path.join(tmp, "list.txt")
        with open(script, "w") as f:
            for path, name in listing:
                f.write(f"{path} {soxout}/{name}.wav\n")
        loop = ('while read src dst; do sox "$src" -r 16000 -c 1 "$dst" silence 1 0.01 0.3% reverse '
                'silence 1 0.01 0.3% reverse pad 0.15 0.15 || exit 1; done < ' + script)
        swall, srss = run_measured(["bash", "-c", loop])
        print(f"sox file by file:      {swall:.1f} s for {len(listing)} takes ({len(listing) / swall:.0f} takes/s), "
              f"peak RSS {srss:.1f} MiB")
        print(f"ratio (sox time / export time): {swall / wall:.2f}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
