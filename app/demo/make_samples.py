#!/usr/bin/env python3
"""Speaks every caption of the demo catalogue with espeak-ng and stores it,
converted by sox to 22050 Hz, 2 channels, 16 bit, as <samples>/<name>.wav,
where <name> is the caption without spaces and the marks ! . , ? (the name
under which the program looks for a phrase's reference sample).

usage: make_samples.py CATALOGUE SAMPLES_DIR STAMP"""
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET


def sample_name(caption):
    for ch in " !.,?":
        caption = caption.replace(ch, "")
    return caption + ".wav"


def main():
    catalogue, samples, stamp = sys.argv[1:4]
    os.makedirs(samples, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for el in ET.parse(catalogue).getroot().iter():
            caption = el.get("caption")
            if not caption:
                continue
            raw = os.path.join(tmp, "raw.wav")
            subprocess.run(["espeak-ng", "-s", "150", "-w", raw, caption], check=True)
            out = os.path.join(samples, sample_name(caption))
            subprocess.run(["sox", raw, "-r", "22050", "-c", "2", "-b", "16", "-e", "signed-integer",
                            out], check=True)
    with open(stamp, "w") as f:
        f.write("ok\n")


if __name__ == "__main__":
    main()
