#!/usr/bin/env python3
"""Time to first byte of the operator's uploads table over a large index.

Usage: bench_operator_page.py ORVANT_COLLECT [UPLOADS]   (default 10000)

Lets the server make an empty store, seeds its index directly with UPLOADS
uploads of 100 takes each (the rows only: the pages measured read the
index, not the takes), starts `serve` with the operator's page and asks
for the table 30 times in each of four forms: the default (newest first),
sorted by speaker, filtered by a part of a name, and the last page. Prints
the median and the slowest time to first byte of each (curl's
time_starttransfer), all from one run.
"""
import os, shutil, signal, sqlite3, statistics, subprocess, sys, tempfile

BIN = os.path.abspath(sys.argv[1])
UPLOADS = int(sys.argv[2]) if len(sys.argv) > 2 else 10000


def serve(store, pw):
    p = subprocess.Popen([BIN, "serve", "--store", store, "--listen", "127.0.0.1:0", "--allow-root",
                          "--operator-password-file", pw], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return p, p.stdout.readline().strip().split()[-1]


def main():
    tmp = tempfile.mkdtemp(prefix="orvant-bench-page-")
    try:
        store, pw = os.path.join(tmp, "store"), os.path.join(tmp, "pw")
        with open(pw, "w") as f:
            f.write("bench\n")
        p, _ = serve(store, pw)  # makes the store and the index's tables
        p.send_signal(signal.SIGTERM)
        p.wait()
        db = sqlite3.connect(os.path.join(store, "index.sqlite"))
        with db:
            for u in range(UPLOADS):
                db.execute("INSERT INTO uploads (sha256, archive, folder, received, client, name, country, region, "
                           "takes, total_ms, flagged, duplicates) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
                           (f"{u:064x}", f"v{u:019d}.zlb", f"uploads/2026-12-09/v{u:019d}.zlb-{u:012x}",
                            f"2026-{1 + u % 12:02d}-{1 + u % 28:02d}T{u % 24:02d}:{u % 60:02d}:{u // 60 % 60:02d}Z",
                            "127.0.0.1", f"Speaker {u * 7919 % UPLOADS}", ["Germany", "Brazil", "Kenya"][u % 3],
                            f"Region {u % 17}", 100, 300000, u % 5, u % 3))
                db.executemany("INSERT INTO takes (upload_id, name, bytes, sha256, duration_ms, format_tag, channels, "
                               "rate, bits, flags) VALUES (?,?,?,?,?,?,?,?,?,?)",
                               [(u + 1, f"p{k:03d}.wav", 132344, "0" * 64, 3000, 1, 2, 22050, 16,
                                 "too quiet" if k < u % 5 else "") for k in range(100)])
        db.close()
        p, base = serve(store, pw)
        try:
            last = (UPLOADS + 99) // 100
            for name, query in (("newest first", "/"), ("by speaker", "/?sort=speaker&dir=asc"),
                                ("filtered", "/?q=Speaker+12"), ("last page", f"/?page={last}")):
                times = []
                for _ in range(30):
                    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-u", "operator:bench", "-w",
                                          "%{http_code} %{time_starttransfer}", base + query],
                                         capture_output=True, text=True, check=True).stdout.split()
                    assert out[0] == "200", out
                    times.append(float(out[1]) * 1000)
                print(f"{name:13} median {statistics.median(times):6.1f} ms, slowest {max(times):6.1f} ms")
        finally:
            p.send_signal(signal.SIGTERM)
            p.wait()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
