#!/usr/bin/env python3
"""The dataset export against a store of generated speech.

usage: export_test.py ORVANT_COLLECT

Builds a store the way the receiver lays it out (folders, the takes, an
upload.json each), its takes spoken by espeak-ng between known stretches of
room noise (sox), runs `ORVANT_COLLECT export` on it, and reads the corpus
back with Python's csv and wave modules and with sox: ids, texts, formats,
durations, where the trimmed takes begin and end, what was left out and why,
and that a second run into the same folder gives the same corpus.
"""
import array, csv, hashlib, json, os, shutil, subprocess, sys, tempfile, unicodedata, wave

BIN = sys.argv[1]
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
]
SPOKEN = {"p001": "Good morning, Sarah.", "p002": "It is ten o'clock, he said.",
          "p003": "Left, right.", "p004": "Call five five five, zero one hundred, now."}

ZOE = ("Zo\u00eb M\u00fcller", "Germany", "Bayern")
ZOE_AGAIN = ("  zo\u00eb   M\u00dcLLER ", "germany", "BAYERN")  # the same speaker, typed otherwise
HOSTILE = ("<b>Bob</b> | \"x\"", "US", "Ohio, North")

# Uploads, oldest first: (day, received, speaker, room noise dBFS, takes); a take is
# (file name, phrase spoken or None for a non-catalogue take, lead s, trail s, flags).
UPLOADS = [
    ("2026-12-01", "2026-12-01T10:00:00Z", ZOE, -60, [
        ("p001.wav", "p001", 0.40, 0.50, []),
        ("p002.wav", "p002", 0.25, 0.30, []),   # replaced by the later upload
        ("p003.wav", "p003", 1.00, 0.20, []),
    ]),
    ("2026-12-02", "2026-12-02T09:30:00Z", HOSTILE, -45, [
        ("p001.wav", "p001", 0.60, 0.60, []),
        ("p004.wav", "p004", 0.30, 0.40, []),
        ("p003.wav", "p003", 0.30, 0.30, ["too quiet"]),
        ("x99.wav", "p001", 0.30, 0.30, []),     # not in the catalogue
    ]),
    ("2026-12-03", "2026-12-03T08:00:00Z", ZOE_AGAIN, -70, [
        ("p002.wav", "p002", 0.50, 0.35, []),
    ]),
]
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


def make_take(tmp, phrase, lead, trail, noise_db, out):
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
    run("sox", "-m", "-v", "1", padded, "-v", "1", noise, "-b", "16", out)
    return length, crossings(out)


def build_store(tmp, store):
    facts = {}
    for day, received, sp, noise_db, takes in UPLOADS:
        archive = "v" + received[2:4] + received[5:7] + received[8:10] + "000000000.zlb"
        folder = f"uploads/{day}/{archive}-{hashlib.sha256(received.encode()).hexdigest()[:12]}"
        d = os.path.join(store, folder)
        os.makedirs(d)
        entries = [{"name": "info.txt", "bytes": 40, "sha256": "0" * 64}]
        for name, phrase, lead, trail, flags in takes:
            length, edges = make_take(tmp, phrase, lead, trail, noise_db, os.path.join(d, name))
            facts[(folder, name)] = (lead, length, edges)
            with wave.open(os.path.join(d, name)) as w:
                fmt = {"format_tag": 1, "channels": w.getnchannels(), "rate": w.getframerate(),
                       "bits": 8 * w.getsampwidth(), "duration_ms": w.getnframes() * 1000 // w.getframerate()}
            entries.append({"name": name, "bytes": os.path.getsize(os.path.join(d, name)), "sha256": "1" * 64,
                            "wave": fmt, "flags": flags})
        with open(os.path.join(d, "info.txt"), "w") as f:
            f.write(f"Speakername={sp[0]}\r\nCountry={sp[1]}\r\nRegion={sp[2]}\r\n")
        doc = {"archive": archive, "sha256": "2" * 64, "bytes": 1, "received": received, "client": "127.0.0.1",
               "folder": folder, "speaker": {"name": sp[0], "country": sp[1], "region": sp[2], "encoding": "utf-8"},
               "entries": entries, "some_later_key": {"ignored": True}}
        with open(os.path.join(d, "upload.json"), "w") as f:
            json.dump(doc, f)
    return facts


def folder_of(i):
    day, received, _, _, _ = UPLOADS[i]
    archive = "v" + received[2:4] + received[5:7] + received[8:10] + "000000000.zlb"
    return f"uploads/{day}/{archive}-{hashlib.sha256(received.encode()).hexdigest()[:12]}"


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
                           (folder_of(1), "x99.wav", "not in the catalogue")])
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
