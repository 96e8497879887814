#!/usr/bin/env python3
"""The dataset export against a store of generated speech.

usage: export_test.py ORVANT_COLLECT UPLOADER

Fills a store through `ORVANT_COLLECT serve` with uploads sent by the
recording program's own upload code (UPLOADER), their takes spoken by
espeak-ng between known stretches of room noise (sox), runs
`ORVANT_COLLECT export` on it, and reads the corpus
back with Python's csv and wave modules and with sox: ids, texts, formats,
durations, where the trimmed takes begin and end, what was left out and why,
and that a second run into the same folder gives the same corpus.
"""
import array, calendar, csv, hashlib, json, os, shutil, signal, subprocess, sys, tempfile, time, unicodedata, wave

BIN, UPLOADER = sys.argv[1], sys.argv[2]
RATE = 22050
MARGIN = 0.150

# The catalogue: captions with what a caption may hold (typographic quotes,
# a "|", a line break, numbers), and one phrase nobody recorded.
PHRASES = [
    ("p001", "Good morning, Sarah."),
    ("p002", "\u201cIt\u2019s  ten o\u2019clock,\u201d he said."),
    ("p003", "Left | right"),
    ("p004", "Call 555 0100\nnow."),
    ("p005", "Nobody says this."),
    ("p|6", "A take name with a bar."),
]
SPOKEN = {"p001": "Good morning, Sarah.", "p002": "It is ten o'clock, he said.",
          "p003": "Left, right.", "p004": "Call five five five, zero one hundred, now."}

ZOE = ("Zo\u00eb M\u00fcller", "Germany", "Bayern")
ZOE_AGAIN = ("  zo\u00eb   M\u00dcLLER ", "germany", "BAYERN")  # the same speaker, typed otherwise
HOSTILE = ("<b>Bob</b> | \"x\"", "US", "Ohio, North")

# Uploads, oldest first: (speaker, room noise dBFS, takes); a take is (file
# name, phrase spoken, lead s, trail s, spoken too quietly).
UPLOADS = [
    (ZOE, -60, [
        ("p001.wav", "p001", 0.40, 0.50, False),
        ("p002.wav", "p002", 0.25, 0.30, False),   # replaced by the later upload
        ("p003.wav", "p003", 1.00, 0.20, False),
    ]),
    (HOSTILE, -45, [
        ("p001.wav", "p001", 0.60, 0.60, False),
        ("p004.wav", "p004", 0.30, 0.40, False),
        ("p003.wav", "p003", 0.30, 0.30, True),    # flagged "too quiet" by the server's check
        ("x99.wav", "p001", 0.30, 0.30, False),    # not in the catalogue
        ("p|6.wav", "p001", 0.30, 0.30, False),    # its id would break metadata.csv
    ]),
    (ZOE_AGAIN, -70, [
        ("p002.wav", "p002", 0.50, 0.35, False),
    ]),
]
FOLDERS = []  # each upload's folder in the store, as the server named it
# What the export keeps: (speaker, phrase) -> (upload index, lead, trail).
KEPT = {(ZOE, "p001"): 0, (ZOE, "p002"): 2, (ZOE, "p003"): 0, (HOSTILE, "p001"): 1, (HOSTILE, "p004"): 1}


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


def speaker_id(sp):
    norm = lambda s: unicodedata.normalize("NFC", " ".join(s.split())).casefold()
    return hashlib.sha256("\n".join(norm(p) for p in sp).encode()).hexdigest()[:8]


def samples(path):
    with wave.open(path) as w:
        assert w.getsampwidth() == 2, path
        data = array.array("h", w.readframes(w.getnframes()))
        return data, w.getnchannels(), w.getframerate()


def crossings(path, level=0.05):
    """Times (s) of the first and last sample beyond level, any channel."""
    data, ch, rate = samples(path)
    limit = level * 32768
    idx = [i for i, v in enumerate(data) if abs(v) > limit]
    return idx[0] // ch / rate, idx[-1] // ch / rate


def make_take(tmp, phrase, lead, trail, noise_db, quiet, out):
    """A take: lead s of room noise, the phrase spoken, trail s of noise;
    returns the speech's length and the times of its first and last sample
    beyond 5 % in the take. espeak-ng's own silence is cut first (at
    -60 dBFS), so the speech begins exactly at lead."""
    raw, speech = os.path.join(tmp, "raw.wav"), os.path.join(tmp, "speech.wav")
    run("espeak-ng", "-w", raw, SPOKEN[phrase])
    run("sox", raw, "-r", str(RATE), speech, "silence", "1", "0.001", "0.1%", "reverse", "silence", "1", "0.001",
        "0.1%", "reverse")
    length = float(run("soxi", "-D", speech).stdout)
    padded = os.path.join(tmp, "padded.wav")
    run("sox", speech, "-c", "2", padded, "pad", str(lead), str(trail))
    total = float(run("soxi", "-D", padded).stdout)
    noise = os.path.join(tmp, "noise.wav")
    run("sox", "-n", "-r", str(RATE), "-c", "2", "-b", "16", noise, "synth", str(total), "whitenoise", "vol",
        str(noise_db), "dB")
    run("sox", "-m", "-v", "1", padded, "-v", "1", noise, "-b", "16", out, "vol", "0.005" if quiet else "1")
    return length, None if quiet else crossings(out)


def build_store(tmp, store):
    """Sends the uploads to a server on a scratch store; facts about each
    take by (folder, name)."""
    facts = {}
    server = subprocess.Popen([BIN, "serve", "--store", store, "--listen", "127.0.0.1:0", "--allow-root"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        url = server.stdout.readline().strip().split()[-1] + "/phpu/sndupload.php"
        for i, (sp, noise_db, takes) in enumerate(UPLOADS):
            rec = os.path.join(tmp, f"recorded{i}")
            os.makedirs(rec)
            with open(os.path.join(rec, "info.txt"), "w", encoding="utf-8", newline="") as f:
                f.write(f"Speakername={sp[0]}\r\nCountry={sp[1]}\r\nRegion={sp[2]}\r\n")
            made = {}
            for name, phrase, lead, trail, quiet in takes:
                made[name] = (lead,) + make_take(tmp, phrase, lead, trail, noise_db, quiet, os.path.join(rec, name))
            files = [os.path.join(rec, n) for n in ["info.txt"] + [t[0] for t in takes]]
            subprocess.run([UPLOADER, url, *files], check=True, capture_output=True)
            days = sorted(os.listdir(os.path.join(store, "uploads")))
            new = sorted(f"uploads/{d}/{n}" for d in days for n in os.listdir(os.path.join(store, "uploads", d)))
            folder = [f for f in new if f not in FOLDERS][0]
            FOLDERS.append(folder)
            for name, fact in made.items():
                facts[(folder, name)] = fact
            # The export orders uploads by the second the server stamped on
            # them, from this machine's clock: the next one must come a second
            # later, so wait until that second has begun.
            with open(os.path.join(store, folder, "upload.json"), encoding="utf-8") as f:
                received = calendar.timegm(time.strptime(json.load(f)["received"], "%Y-%m-%dT%H:%M:%SZ"))
            while time.time() < received + 1:
                time.sleep(0.02)
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(30)
    return facts


def folder_of(i):
    return FOLDERS[i]


def check_corpus(out, facts, rate, channels, trimmed):
    problems = []
    with open(os.path.join(out, "metadata.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, delimiter="|", quotechar='"'))
    captions = dict(PHRASES)
    want = {f"{speaker_id(sp)}_{p}": (sp, p) for (sp, p) in KEPT}
    got = {r[0]: r for r in rows}
    if set(got) != set(want) or len(rows) != len(want):
        problems.append(f"ids {sorted(got)} != {sorted(want)}")
    for id_, (sp, p) in want.items():
        r = got.get(id_)
        if not r:
            continue
        norm = " ".join(captions[p].split()).translate({0x201c: '"', 0x201d: '"', 0x2019: "'"})
        if r[1:] != [captions[p], norm]:
            problems.append(f"{id_}: texts {r[1:]!r}, want {[captions[p], norm]!r}")
        path = os.path.join(out, "wavs", id_ + ".wav")
        data, ch, r_ = samples(path)
        if (ch, r_) != (channels, rate):
            problems.append(f"{id_}: {ch} channels at {r_} Hz, want {channels} at {rate}")
        dur = len(data) / ch / r_
        sox_dur = float(run("soxi", "-D", path).stdout)
        if abs(sox_dur - dur) > 0.001:
            problems.append(f"{id_}: sox reads {sox_dur} s, wave {dur} s")
        lead, length, (first, last) = facts[(folder_of(KEPT[(sp, p)]), p + ".wav")]
        if trimmed:
            # Where the take's cut lies, from where the speech shows up in
            # the exported file: the speech must start MARGIN after the
            # cut's start and end MARGIN before its end, within 20 ms.
            o_first, o_last = crossings(path)
            start = first - o_first
            end = start + dur
            if abs(start - (lead - MARGIN)) > 0.020 or abs(end - (lead + length + MARGIN)) > 0.020:
                problems.append(f"{id_}: cut {start:.3f}..{end:.3f} s, speech at {lead:.3f}..{lead + length:.3f} s")
        else:
            with wave.open(os.path.join(
                    os.environ["STORE"], folder_of(KEPT[(sp, p)]), p + ".wav")) as w:
                if abs(w.getnframes() / w.getframerate() - dur) > 0.001:
                    problems.append(f"{id_}: {dur} s, the take has {w.getnframes() / w.getframerate()} s")
    with open(os.path.join(out, "speakers.csv"), newline="", encoding="utf-8") as f:
        speakers = {r["id"]: r for r in csv.DictReader(f)}
    for sp, n_uploads in ((ZOE, 2), (HOSTILE, 1)):
        r = speakers.get(speaker_id(sp))
        takes = sum(1 for (s, _) in KEPT if s == sp)
        if not r or r["name"] != "" or int(r["uploads"]) != n_uploads or int(r["takes"]) != takes:
            problems.append(f"speakers.csv row {r} for {sp}")
    report = json.load(open(os.path.join(out, "export.json"), encoding="utf-8"))
    reasons = sorted((x["upload"], x["take"], x["reason"].split(":")[0].split(" by ")[0]) for x in report["left_out"])
    want_reasons = sorted([(folder_of(0), "p002.wav", "superseded"), (folder_of(1), "p003.wav", "flagged"),
                           (folder_of(1), "x99.wav", "not in the catalogue"),
                           (folder_of(1), "p|6.wav", "its take name cannot stand in metadata.csv")])
    if reasons != want_reasons:
        problems.append(f"left out {reasons}, want {want_reasons}")
    if report["counts"]["exported"] != len(KEPT):
        problems.append(f"counts {report['counts']}")
    leftovers = [n for n in os.listdir(out) + os.listdir(os.path.join(out, "wavs")) if n.startswith(".")]
    if leftovers:
        problems.append(f"temporary files left: {leftovers}")
    return problems


def main():
    for tool in ("espeak-ng", "sox", "soxi"):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is not installed")
            return 77
    tmp = tempfile.mkdtemp(prefix="orvant-export-")
    try:
        store, cat = os.path.join(tmp, "store"), os.path.join(tmp, "phrases.xml")
        os.environ["STORE"] = store
        with open(cat, "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<phrases caption="All">\n')
            for wav, cap in PHRASES:
                esc = cap.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace("\n", "&#10;")
                f.write(f'  <p caption="{esc}" wav="{wav}"/>\n')
            f.write("</phrases>\n")
        facts = build_store(tmp, store)
        problems = []
        # Each case: options, the corpus's rate and channels, trimmed.
        cases = [
            (["--mono", "--rate", "16000", "--trim"], 16000, 1, True),
            ([], RATE, 2, False),
            (["--trim", "--trim-margin", "150"], RATE, 2, True),
        ]
        out = os.path.join(tmp, "corpus")
        for opts, rate, ch, trimmed in cases:
            # The same folder every time: a run replaces the one before.
            res = subprocess.run([BIN, "export", "--store", store, "--catalogue", cat, *opts, out],
                                 capture_output=True, text=True)
            if res.returncode != 0:
                problems.append(f"{opts}: exit {res.returncode}: {res.stderr}")
                continue
            problems += [f"{opts}: {p}" for p in check_corpus(out, facts, rate, ch, trimmed)]
        # With --names the name column carries the newest spelling.
        subprocess.run([BIN, "export", "--store", store, "--catalogue", cat, "--names", out], check=True,
                       capture_output=True)
        with open(os.path.join(out, "speakers.csv"), newline="", encoding="utf-8") as f:
            names = sorted(r["name"] for r in csv.DictReader(f))
        if names != sorted([ZOE_AGAIN[0], HOSTILE[0]]):
            problems.append(f"--names: {names}")
        # A catalogue that cannot be read stops the export with its reason.
        res = subprocess.run([BIN, "export", "--store", store, "--catalogue", cat + ".missing", out],
                             capture_output=True, text=True)
        if res.returncode != 1 or "does not exist" not in res.stderr:
            problems.append(f"missing catalogue: exit {res.returncode}, {res.stderr!r}")
        for p in problems:
            print("FAIL:", p)
        print(f"{len(cases) + 2} runs, {len(problems)} problems")
        return 1 if problems else 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
