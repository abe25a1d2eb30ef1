#!/usr/bin/env python3
"""Generates dsp/virtualiser/data/lpv_filters.bin, the filter tables of the headphone
virtualiser. Not part of the build: run it by hand after changing the model and commit
its output (the build embeds the file as it is).

    /usr/bin/python3 tools/gen_virtualiser_filters.py dsp/virtualiser/data/lpv_filters.bin

Made with /usr/bin/python3 3.11.2 and numpy 1.24.2. Every value is computed in Python
floats (IEEE double) with math.exp, math.sin, math.cos, math.log, math.sqrt and
math.floor; numpy only rounds to float32 (numpy.asarray(..., dtype="<f4").tobytes()), and
zlib.crc32 makes the checksum, so the output does not depend on numpy's vector kernels.
Re-running it reproduces the committed file bit for bit
(tools/analyse_virtualiser_filters.py --reproduce checks this).

These tables are DESIGNED SUBSTITUTES. The convolver's layout (27 head tables of ten
1024-tap filters, 9 two-ear tails, 5 crosstalk sets), the mirror identities, the lengths
and a handful of given sample values are fixed; every other value comes from the model
below. The virtualiser's output therefore matches the original system only in structure
and in measured properties, never numerically.

File format (little-endian):
  header, 64 bytes: "LPVF", then u32 layout version (1), header bytes (64), head tables
  (27), filters per head table (10), head length (1024), tail tables (9), crosstalk sets
  (5), crosstalk length (256), filter floats, crosstalk floats, CRC-32 (zlib polynomial)
  of all float bytes that follow, four zero words;
  then the filter floats in the convolver's table order, then the crosstalk floats
  (per angle 5, 10, 15, 20, 30 degrees: t1, then t2).

Model (sample rate 44100 Hz, c = 343 m/s):
- Directions: azimuth phi in degrees, positive to the left. Front pair at +code and
  -code degrees (group A left, B right), centre at 0, surrounds at +110 and -110. Filter
  2g is the left ear, 2g + 1 the right ear of group g.
- Rigid-sphere head of radius A_HEAD. Lateral angle lat = |phi| folded into 0..90
  (180 - |phi| behind). Interaural time difference (A_HEAD / c)(lat + sin lat), lat in
  radians. The near ear (or both ears for phi = 0) receives the direct sound after the
  common onset delay ONSET, the far ear ONSET + ITD later; fractional delays through a
  Hann-windowed sinc of 33 taps.
- Head shadow: first-order filter H(s) = (1 + alpha s / (2 w0)) / (1 + s / (2 w0)),
  w0 = c / A_HEAD, bilinear transform at 44100 Hz, with
  alpha(psi) = (1 + AMIN / 2) + (1 - AMIN / 2) cos(psi / PSIMIN * 180 deg), AMIN = 0.1,
  PSIMIN = 150 deg, psi the angle between the source and the ear's axis (+-90 deg).
- Level and polarity: an ear with psi <= 100 deg gets gain G_NEAR (negative), a more
  shadowed ear G_FAR (positive). Both, A_HEAD and ONSET are calibrated so that filter 0
  of room 3, code 24 peaks at tap 8 near -0.20828 and filter 1 at tap 15 near 0.05212.
  (The polarity is a calibration to those values, not a physical claim.)
- Early reflections inside the 1024 taps: REFLECTIONS per filter, each a copy of a
  three-tap smoothed impulse with a random sign; delays uniform in [D_LO, D_HI] of the
  room, level REF_LEVEL(room) x |G_NEAR| x exp(-delay / 600). Both grow with the room.
  The pattern is drawn per (room, filter kind): front near, front far, centre, surround
  near, surround far; mirror filters share it. Wide and code-31 tables draw it per code.
- Narrow codes (24, 29, 34, 39): exactly symmetric, so filters 0 = 3, 1 = 2, 4 = 5,
  6 = 9, 7 = 8, and filters 4..9 are the same for the four codes of a room. Wide codes
  (25, 30, 35, 40) and code 31: the listener's head is turned by YAW = code / 80 degrees
  to the right (every azimuth minus YAW) and the right ear is RIGHT_GAIN louder, so the
  pairs differ slightly and every filter differs between codes.
- Tails: band-shaped noise (one-pole high-pass at 200 Hz, two one-pole low-passes at
  5 kHz) from independent draws per ear, under the envelope exp(-6.9078 t / T60(room)),
  t counted from the direct sound (the tail begins 1024 samples after it), scaled to
  TAIL_RMS(room) at its start and faded out over its last 256 taps by a half cosine. The
  right tail is then made orthogonal to the left one (its projection on the left tail
  removed), so their correlation at lag 0 is zero.
  T60: room 1 0.06 s, room 2 0.09 s, room 3 0.14 s.
- Given sample values, written exactly: room 3 code 24 filter 0 taps 0..2 = 0.04126,
  0.002777, -0.148865 and tap 8 = -0.20828 (and its mirror filter 3); filter 1 tap 15 =
  0.05212 (and its mirror filter 2); room 3 narrow left tail taps 0..2 = 0.004303,
  0.003998, -0.000732. The generator checks that the given peaks stay the largest
  magnitudes of their filters.
- Crosstalk sets: t1 = unit impulse, t2 = 0 for every angle. Nothing in this system
  selects a crosstalk angle, so a designed canceller could only be checked against its
  own design; the identity sets keep the stage defined if one is ever selected.
- Pseudo-random numbers: a 64-bit linear congruential generator
  x <- x * 6364136223846793005 + 1442695040888963407 mod 2^64, a draw being the top 32
  bits / 2^32; Gaussian values by Box-Muller (math.log, math.cos). Seeds are fixed per
  table, listed in seed_of().
"""
import math
import struct
import sys
import zlib

import numpy as np

FS = 44100.0
C_SOUND = 343.0
HEAD_LEN = 1024
HEAD_FILTERS = 10
CTC_LEN = 256
CTC_ANGLES = [5, 10, 15, 20, 30]
LAYOUT_VERSION = 1

# Calibrated: ITD at 24 degrees = 7 samples, near-ear arrival at tap 8.
A_HEAD = 7.0 / FS * C_SOUND / (math.radians(24.0) + math.sin(math.radians(24.0)))
ONSET = 8.0
AMIN = 0.1
PSIMIN = 150.0
FAR_PSI = 100.0
RIGHT_GAIN = 1.02
REFLECTIONS = 8
ROOM_REFLECT = {1: (60, 400, 0.06), 2: (100, 700, 0.09), 3: (150, 1000, 0.12)}
T60 = {1: 0.06, 2: 0.09, 3: 0.14}
TAIL_RMS = {1: 0.0025, 2: 0.003, 3: 0.0035}
FADE = 256
SINC_HALF = 16

# (room, codes, tail length), in table order.
LAYOUT = [
    (3, [24, 29, 34, 39], 7168), (2, [24, 29, 34, 39], 3072), (1, [24, 29, 34, 39], 3072),
    (3, [25, 30, 35, 40], 7168), (2, [25, 30, 35, 40], 5120), (1, [25, 30, 35, 40], 3072),
    (3, [31], 6144), (2, [31], 6144), (1, [31], 6144),
]
NARROW = {24, 29, 34, 39}

GIVEN_HEAD0 = {0: 0.04126, 1: 0.002777, 2: -0.148865, 8: -0.20828}
GIVEN_HEAD1 = {15: 0.05212}
GIVEN_TAIL_L = [0.004303, 0.003998, -0.000732]

MASK64 = (1 << 64) - 1


class Lcg:
    def __init__(self, seed):
        self.x = seed & MASK64

    def uniform(self):
        self.x = (self.x * 6364136223846793005 + 1442695040888963407) & MASK64
        return (self.x >> 32) / 4294967296.0

    def gauss(self):
        u1 = self.uniform()
        u2 = self.uniform()
        return math.sqrt(-2.0 * math.log(1.0 - u1)) * math.cos(2.0 * math.pi * u2)


def seed_of(kind, room, code, extra):
    """Seed of one draw: reflections (kind 1) or tail noise (kind 2)."""
    return 0x4C505600000000 + kind * 0x1000000 + room * 0x10000 + code * 0x100 + extra


def frac_delay(delay, n):
    """Impulse at a fractional delay: Hann-windowed sinc of 2 * SINC_HALF + 1 taps."""
    h = [0.0] * n
    centre = int(math.floor(delay + 0.5))
    for k in range(centre - SINC_HALF, centre + SINC_HALF + 1):
        if k < 0 or k >= n:
            continue
        x = k - delay
        s = 1.0 if x == 0.0 else math.sin(math.pi * x) / (math.pi * x)
        w = 0.5 + 0.5 * math.cos(math.pi * x / (SINC_HALF + 1))
        h[k] += s * w
    return h


def shadow(x, psi):
    alpha = (1.0 + AMIN / 2.0) + (1.0 - AMIN / 2.0) * math.cos(math.radians(psi / PSIMIN * 180.0))
    w0 = C_SOUND / A_HEAD
    k = 2.0 * FS / (2.0 * w0)
    norm = 1.0 + k
    b0 = (1.0 + alpha * k) / norm
    b1 = (1.0 - alpha * k) / norm
    a1 = (1.0 - k) / norm
    y = [0.0] * len(x)
    xp = yp = 0.0
    for i, v in enumerate(x):
        yp = b0 * v + b1 * xp - a1 * yp
        xp = v
        y[i] = yp
    return y


def lateral(phi):
    a = abs(phi)
    return 180.0 - a if a > 90.0 else a


def direct(phi, left_ear):
    """Unscaled direct sound at one ear and whether the ear is the far (shadowed) one."""
    ear = 90.0 if left_ear else -90.0
    psi = abs(((phi - ear) + 180.0) % 360.0 - 180.0)
    lat = math.radians(lateral(phi))
    itd = A_HEAD / C_SOUND * (lat + math.sin(lat)) * FS
    near = phi == 0.0 or (phi > 0.0) == left_ear
    delay = ONSET if near else ONSET + itd
    return shadow(frac_delay(delay, HEAD_LEN), psi), psi > FAR_PSI


def reflections(room, kind_index, code):
    lo, hi, level = ROOM_REFLECT[room]
    rng = Lcg(seed_of(1, room, code, kind_index))
    h = [0.0] * HEAD_LEN
    for _ in range(REFLECTIONS):
        d = lo + int(rng.uniform() * (hi - lo))
        sign = 1.0 if rng.uniform() < 0.5 else -1.0
        g = sign * level * abs(G_NEAR) * math.exp(-d / 600.0)
        for k, w in ((d - 1, 0.25), (d, 0.5), (d + 1, 0.25)):
            if 0 <= k < HEAD_LEN:
                h[k] += g * w
    return h


def calibrate():
    near, _ = direct(24.0, True)
    far, _ = direct(24.0, False)
    return -0.20828 / near[8], 0.05212 / far[15]


G_NEAR, G_FAR = calibrate()

# Reflection kinds: (kind index) per filter 0..9, mirror filters sharing one.
FILTER_KIND = [0, 1, 1, 0, 2, 2, 3, 4, 4, 3]


def head_table(room, code):
    narrow = code in NARROW
    yaw = 0.0 if narrow else code / 80.0
    sources = [float(code), -float(code), 0.0, 110.0, -110.0]
    refl_code = 0 if narrow else code
    out = []
    for k in range(HEAD_FILTERS):
        phi = sources[k // 2] - yaw
        left = k % 2 == 0
        d, far = direct(phi, left)
        g = G_FAR if far else G_NEAR
        if not left and not narrow:
            g *= RIGHT_GAIN
        r = reflections(room, FILTER_KIND[k], refl_code)
        out.append([g * a + b for a, b in zip(d, r)])
    return out


def one_pole_lp(x, fc):
    a = math.exp(-2.0 * math.pi * fc / FS)
    y, p = [0.0] * len(x), 0.0
    for i, v in enumerate(x):
        p = (1.0 - a) * v + a * p
        y[i] = p
    return y


def one_pole_hp(x, fc):
    a = math.exp(-2.0 * math.pi * fc / FS)
    y, xp, yp = [0.0] * len(x), 0.0, 0.0
    for i, v in enumerate(x):
        yp = a * (yp + v - xp)
        xp = v
        y[i] = yp
    return y


def tail(room, group_index, length, ear):
    rng = Lcg(seed_of(2, room, group_index, ear))
    warm = 512  # filter run-in, discarded
    noise = [rng.gauss() for _ in range(length + warm)]
    shaped = one_pole_lp(one_pole_lp(one_pole_hp(noise, 200.0), 5000.0), 5000.0)[warm:]
    start = shaped[:512]
    rms = math.sqrt(sum(v * v for v in start) / len(start))
    scale = TAIL_RMS[room] / rms
    out = []
    for n, v in enumerate(shaped):
        t = (HEAD_LEN + n) / FS
        env = math.exp(-6.9078 * (t - HEAD_LEN / FS) / T60[room])
        fade = 1.0
        if n >= length - FADE:
            fade = 0.5 + 0.5 * math.cos(math.pi * (n - (length - FADE) + 1) / FADE)
        out.append(v * scale * env * fade)
    return out


def decorrelate(right, left):
    """The right tail less its projection on the left one: zero correlation at lag 0."""
    k = sum(a * b for a, b in zip(right, left)) / sum(b * b for b in left)
    return [a - k * b for a, b in zip(right, left)]


def check_peak(f, tap, what):
    mags = [abs(v) for v in f]
    best = max(range(len(f)), key=lambda i: mags[i])
    if best != tap or any(mags[i] >= mags[tap] for i in range(len(f)) if i != tap):
        raise SystemExit("%s: the given peak at tap %d is not the largest magnitude (tap %d)" % (what, tap, best))


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: gen_virtualiser_filters.py OUTPUT.bin")
    floats = []
    for gi, (room, codes, tail_len) in enumerate(LAYOUT):
        for code in codes:
            t = head_table(room, code)
            if room == 3 and code == 24:
                for f_index in (0, 3):
                    for tap, v in GIVEN_HEAD0.items():
                        t[f_index][tap] = v
                for f_index in (1, 2):
                    for tap, v in GIVEN_HEAD1.items():
                        t[f_index][tap] = v
                check_peak(t[0], 8, "room 3 code 24 filter 0")
                check_peak(t[1], 15, "room 3 code 24 filter 1")
            for f in t:
                floats.extend(f)
        left = tail(room, gi, tail_len, 0)
        if gi == 0:
            left[0:3] = GIVEN_TAIL_L
        right = decorrelate(tail(room, gi, tail_len, 1), left)
        floats.extend(left)
        floats.extend(right)
    ctc = []
    for _ in CTC_ANGLES:
        ctc.extend([1.0] + [0.0] * (CTC_LEN - 1))
        ctc.extend([0.0] * CTC_LEN)
    body = np.asarray(floats, dtype="<f4").tobytes() + np.asarray(ctc, dtype="<f4").tobytes()
    header = struct.pack("<4s11I4I", b"LPVF", LAYOUT_VERSION, 64, 27, HEAD_FILTERS, HEAD_LEN, 9, len(CTC_ANGLES),
                         CTC_LEN, len(floats), len(ctc), zlib.crc32(body) & 0xFFFFFFFF, 0, 0, 0, 0)
    assert len(header) == 64
    with open(sys.argv[1], "wb") as fh:
        fh.write(header + body)
    print("wrote %d filter floats, %d crosstalk floats; G_NEAR %.6f G_FAR %.6f radius %.5f m"
          % (len(floats), len(ctc), G_NEAR, G_FAR, A_HEAD), file=sys.stderr)


if __name__ == "__main__":
    main()
