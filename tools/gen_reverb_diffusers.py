#!/usr/bin/env python3
"""Generates dsp/src/reverb_diffusers.cpp, the diffuser coefficients of the delay-network
reverb. Not part of the build: run it by hand after changing the rule and commit its
output.

    python3 tools/gen_reverb_diffusers.py > dsp/src/reverb_diffusers.cpp

Needs only the standard library. The coefficients are a designed substitute: the reverb's
records fix how many taps each diffuser has and how they are used, and give the first
four coefficients of the 48 kHz record's first diffuser; everything else comes from the
rule below.

Rule:
- Diffuser j (1..7) has one continuous-time prototype, shared by all sample rates:
      h_j(t) = A * exp(-t / TAU) * n_j(t),
      n_j(t) = sqrt(2 / K) * sum_k cos(2 pi f_k t + phi_k),   k = 1..K,
  a band-limited noise (K random-phase cosines, frequencies uniform in [0, F_MAX], unit
  mean power) under one exponential envelope.
- Tap i (1..N) of a diffuser delays its input by 2i frames, so it samples the prototype
  at t_i = i * D with D = 2 / rate, and is scaled by D / D_48000 so that the discrete
  filter approximates the same continuous convolution at every rate:
      c_i = A * (D / D_48000) * exp(-t_i / TAU) * n_j(t_i).
  F_MAX is the Nyquist frequency of the coarsest tap grid (32 kHz: 8 kHz), so no rate
  aliases the prototype and all modes sound alike.
- A is chosen so that the first four taps of diffuser 1 at 48 kHz have the energy of the
  four given values, which then replace them exactly.
- The frequencies and phases come from a 64-bit linear congruential generator (written out
  below, exact integer arithmetic), one seed per diffuser, so the draws reproduce bit for
  bit on any machine.
"""
import math
import sys

K = 64
F_MAX = 8000.0
TAU = 0.5e-3
SEED_BASE = 0x7E7B0000
REFERENCE_RATE = 48000

# Mode, sample rate and taps per diffuser, as in the reverb's records.
MODES = [
    (0, 48000, [16, 16, 16, 20, 20, 18, 18]),
    (1, 44100, [15, 15, 15, 19, 19, 17, 17]),
    (2, 32000, [10, 10, 10, 13, 13, 12, 12]),
    (16, 96000, [34, 34, 34, 42, 42, 38, 38]),
    (17, 88200, [32, 32, 32, 40, 40, 36, 36]),
]

# The four coefficients the records give: the start of diffuser 1 at 48 kHz.
GIVEN = [0.14975, -0.0775452, 0.0103149, -0.0322571]

LCG_MUL = 6364136223846793005
LCG_INC = 1442695040888963407
MASK64 = (1 << 64) - 1


class Lcg:
    """x <- x * LCG_MUL + LCG_INC mod 2^64; a draw is the top 32 bits."""

    def __init__(self, seed):
        self.state = seed & MASK64

    def next_u32(self):
        self.state = (self.state * LCG_MUL + LCG_INC) & MASK64
        return self.state >> 32

    def uniform(self):
        """(u32 + 0.5) / 2^32, strictly inside (0, 1)."""
        return (self.next_u32() + 0.5) / 4294967296.0


def components(diffuser):
    """Frequencies and phases of diffuser 1..7: K pairs, frequency drawn first."""
    rng = Lcg(SEED_BASE + diffuser)
    out = []
    for _ in range(K):
        f = F_MAX * rng.uniform()
        phi = 2.0 * math.pi * rng.uniform()
        out.append((f, phi))
    return out


def noise(comps, t):
    return math.sqrt(2.0 / K) * sum(math.cos(2.0 * math.pi * f * t + phi) for f, phi in comps)


def shape(comps, rate, i):
    """Prototype without A at tap i (1-based) of a rate, including the D scaling."""
    d = 2.0 / rate
    t = i * d
    return (d / (2.0 / REFERENCE_RATE)) * math.exp(-t / TAU) * noise(comps, t)


def amplitude():
    comps = components(1)
    energy = sum(shape(comps, REFERENCE_RATE, i) ** 2 for i in range(1, 5))
    return math.sqrt(sum(v * v for v in GIVEN) / energy)


def tables():
    """{mode: [per-diffuser lists of coefficients as doubles]}."""
    a = amplitude()
    comps = [components(j) for j in range(1, 8)]
    out = {}
    for mode, rate, counts in MODES:
        rows = []
        for j, n in enumerate(counts):
            rows.append([a * shape(comps[j], rate, i) for i in range(1, n + 1)])
        if mode == 0:
            rows[0][:4] = GIVEN
        out[mode] = rows
    return out


def f32(v):
    import struct
    return struct.unpack("<f", struct.pack("<f", v))[0]


def literal(v):
    v = f32(v)
    if v == 0.0:
        return "0.0f"
    text = "%.9g" % v
    if "e" not in text and "." not in text:
        text += ".0"
    return text + "f"


def main():
    out = sys.stdout
    out.write("// Diffuser coefficients of the delay-network reverb: designed substitutes made by\n")
    out.write("// tools/gen_reverb_diffusers.py (rule in its header); do not edit by hand.\n")
    out.write('#include "dsp/reverb_diffusers.h"\n\n')
    out.write("const double REVERB_DIFFUSER_AMPLITUDE = %.17g;\n\n" % amplitude())
    for mode, rate, counts in MODES:
        rows = tables()[mode]
        total = sum(counts)
        out.write("// %d Hz: %s taps.\n" % (rate, ", ".join(str(c) for c in counts)))
        out.write("const float REVERB_DIFFUSERS_MODE%d[%d] = {\n" % (mode, total))
        for j, row in enumerate(rows):
            out.write("    // diffuser %d\n" % (j + 1))
            for start in range(0, len(row), 6):
                out.write("    " + " ".join(literal(v) + "," for v in row[start:start + 6]) + "\n")
        out.write("};\n\n")


if __name__ == "__main__":
    main()
