#!/usr/bin/env python3
"""Measures the committed filter tables of the headphone virtualiser, independently of
the generator's code: it reads only the binary file.

    /usr/bin/python3 tools/analyse_virtualiser_filters.py dsp/virtualiser/data/lpv_filters.bin
    /usr/bin/python3 tools/analyse_virtualiser_filters.py --reproduce   # regenerate, compare

For every head table and filter pair (same-side ear, opposite ear): the interaural delay
by cross-correlation (samples, with a parabolic peak refinement) and the level difference
per octave band (dB, same side over opposite side). For every tail: the interaural
correlation at lag 0, the coherence (peak of the normalised cross-correlation within +-1 ms) and the Schroeder
energy-decay time (T60 from a line fitted to the backward-integrated energy between -5
and -25 dB). Needs numpy.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

import numpy as np

FS = 44100.0
LAYOUT = [
    (3, [24, 29, 34, 39], 7168), (2, [24, 29, 34, 39], 3072), (1, [24, 29, 34, 39], 3072),
    (3, [25, 30, 35, 40], 7168), (2, [25, 30, 35, 40], 5120), (1, [25, 30, 35, 40], 3072),
    (3, [31], 6144), (2, [31], 6144), (1, [31], 6144),
]
PAIRS = [("front L", 0, 1), ("front R", 3, 2), ("surround L", 6, 7), ("surround R", 9, 8)]
OCTAVES = [250, 500, 1000, 2000, 4000, 8000, 16000]


def load(path):
    data = open(path, "rb").read()
    head = struct.unpack("<4s11I", data[:48])
    assert head[0] == b"LPVF", "not a filter file"
    nf, nc, crc = head[9], head[10], head[11]
    body = data[64:]
    assert len(body) == 4 * (nf + nc), "size"
    assert zlib.crc32(body) & 0xFFFFFFFF == crc, "checksum"
    return np.frombuffer(body, dtype="<f4").astype(np.float64), head


def itd(a, b):
    n = len(a) + len(b)
    x = np.fft.irfft(np.conj(np.fft.rfft(a, n)) * np.fft.rfft(b, n), n)
    lags = np.concatenate([np.arange(0, 40), np.arange(-40, 0)])
    vals = np.concatenate([x[:40], x[-40:]])
    i = int(np.argmax(np.abs(vals)))
    lag = float(lags[i])
    j = i
    if 0 < j < len(vals) - 1 and abs(lags[j + 1] - lags[j - 1]) == 2:
        y0, y1, y2 = abs(vals[j - 1]), abs(vals[j]), abs(vals[j + 1])
        den = y0 - 2 * y1 + y2
        if den != 0:
            lag += 0.5 * (y0 - y2) / den
    return lag


def octave_levels(h):
    power = np.abs(np.fft.rfft(h, 8192)) ** 2
    f = np.fft.rfftfreq(8192, 1 / FS)
    out = []
    for fc in OCTAVES:
        m = (f >= fc / np.sqrt(2)) & (f < min(fc * np.sqrt(2), FS / 2))
        out.append(10 * np.log10(power[m].mean() + 1e-30))
    return np.array(out)


def correlation(l, r):
    return float(np.sum(l * r) / np.sqrt(np.sum(l * l) * np.sum(r * r)))


def coherence(l, r):
    n = len(l) + len(r)
    x = np.fft.irfft(np.fft.rfft(l, n) * np.conj(np.fft.rfft(r, n)), n)
    w = int(0.001 * FS)
    x = np.concatenate([x[:w + 1], x[-w:]])
    return float(np.max(np.abs(x)) / np.sqrt(np.sum(l * l) * np.sum(r * r)))


def decay_time(h):
    e = np.cumsum((h * h)[::-1])[::-1]
    db = 10 * np.log10(np.maximum(e / e[0], 1e-300))
    i0 = int(np.argmax(db <= -5))
    i1 = int(np.argmax(db <= -25))
    t = np.arange(len(h)) / FS
    slope = np.polyfit(t[i0:i1], db[i0:i1], 1)[0]
    return -60.0 / slope


def analyse(path):
    x, _ = load(path)
    at = 0
    print("room code | pair: delay (samples) | level difference dB per octave %s" % OCTAVES)
    tails = []
    for room, codes, tl in LAYOUT:
        for code in codes:
            table = x[at:at + 10240].reshape(10, 1024)
            at += 10240
            for name, same, opp in PAIRS:
                d = itd(table[same], table[opp])
                ild = octave_levels(table[same]) - octave_levels(table[opp])
                print("%d %2d | %-10s %6.2f | %s" % (room, code, name, d, " ".join("%6.1f" % v for v in ild)))
        left = x[at:at + tl]
        right = x[at + tl:at + 2 * tl]
        at += 2 * tl
        tails.append((room, codes, tl, correlation(left, right), coherence(left, right), decay_time(left), decay_time(right)))
    print("\nroom codes          taps  corr(lag 0)  coherence(+-1 ms)  T60 left  T60 right (s)")
    for room, codes, tl, cor, coh, tlft, trgt in tails:
        print("%d    %-14s %5d  %10.2e  %8.3f  %16.4f  %8.4f" % (room, ",".join(map(str, codes)), tl, cor, coh, tlft,
                                                              trgt))


def reproduce(path):
    here = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "f.bin")
        subprocess.run([sys.executable, os.path.join(here, "gen_virtualiser_filters.py"), out], check=True)
        same = open(out, "rb").read() == open(path, "rb").read()
    print("regenerated file identical to the committed one: %s" % ("yes" if same else "NO"))
    return 0 if same else 1


def main():
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dsp", "virtualiser", "data",
                           "lpv_filters.bin")
    args = sys.argv[1:]
    if args and args[0] == "--reproduce":
        sys.exit(reproduce(args[1] if len(args) > 1 else default))
    analyse(args[0] if args else default)


if __name__ == "__main__":
    main()
