#!/usr/bin/env python3
"""Reference model of the delay-network reverb, written from its signal equations rather
than from the cell layout of the circular buffer, and the reference data its tests
compare against. Not part of the build: run it by hand after changing a record or the
diffuser rule and commit its output.

    python3 tools/reverb_model.py [--report]

Needs numpy and scipy (Debian: python3-numpy, python3-scipy). Writes
    tests/dsp/data/reverb_impulse_responses.bin   int16 little-endian, for each mode
        (0, 1, 2, 16, 17), each impulse channel (3, 4, 6 of an 8-channel stream), each
        output (left, right): FRAMES 16-bit steps of the response to a 1.0 impulse
    tests/dsp/reverb_reference.inc   the input biquad's response (scipy.signal.freqz)
        at reference frequencies, and each mode's reverberation time
--report prints the reverberation times and the 1/3-octave energies of the responses.

The network, per frame n, in float64:
    fb_k[n] = row_k . z[n]                        (feedback matrix, 4 x 4)
    E_k[n]  = sum_t a_kt fb_k[n - d_k - 1 - t]     (line k, T read weights)
    y_k     = biquad(x_k): y[n] = 2 (b0 x[n] + b1 x[n-1] + b2 x[n-2] + f1 y[n-1] + f2 y[n-2])
    z_k     = y_k + E_k
    diffuser j: q_j[n] = sum_i c_ji u_j[n - 2i], i = 1..N_j
    outputs: 15-tap sums of (w, C', m, B', m') now, one and two frames ago, then saturated
    and rounded to 16-bit steps.
"""
import os
import struct
import sys

import numpy as np
from scipy import signal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_reverb_diffusers  # noqa: E402

FRAMES = 8192
IMPULSE_CHANNELS = [3, 4, 6]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

INPUT_MIX = [-0.551703155, 0.618946493, 0.551703155, 0.618946493, 0.565151811, 0.32964623, 0.565151811,
             0.32964623]
SIDE = [1, 1, 0.840663314, 1, 0.840663314, 0.820007324, 0.820007324, 0.909973145, 1, 0.909973145, 1]
DIFF_MIX = [(0.5, 0.5), (0.5, -0.5), (0.5, 0.5), (0.5, -0.5), (0.5, 0.5), (0.5, -0.5)]
W0 = [1, 1, 1, 1, 1, 1, 1]
W1 = [1, 1, -1, 1, -1, 1, -1]
ROWS = np.array([[-0.152466, -0.100342, 0.298096, 0.93689],
                 [-0.905762, 0.21106, -0.367432, -0.00787354],
                 [0.0162964, 0.882202, 0.467712, -0.0516968],
                 [-0.395081, -0.408752, 0.746582, -0.345642]])

# mode: rate, delays, read weights per line, biquad, output weights 4..15
MODES = {
    0: (48000, [599, 871, 778, 1032],
        [[0.380371094, 0.380371094], [0.33605957, 0.33605957], [0.350585938, 0.350585938],
         [0.312255859, 0.312255859]],
        [0.490661621, -0.981262207, 0.490661621, 0.981018066, -0.4815979],
        [0.278351, 0.00827026, -0.147308, 0.412476, -0.019043, -0.127808, 0.501892, -0.0055542, -0.0502319,
         0.428223, -0.0499268, -0.026062]),
    1: (44100, [550, 800, 715, 948],
        [[0.507263184, 0.253601074], [0.448059082, 0.224060059], [0.467407227, 0.233703613],
         [0.416381836, 0.208190918]],
        [0.489837646, -0.979614258, 0.489837646, 0.979248047, -0.479980469],
        [0.288147, -0.0181885, -0.0695496, 0.432251, -0.0688477, -0.0119629, 0.507385, -0.0272217, -0.0474243,
         0.417847, -0.0422363, -0.0427856]),
    2: (32000, [399, 580, 518, 687],
        [[0.629760742, 0.144836426, -0.0138549805], [0.55645752, 0.127990723, -0.0122680664],
         [0.580566406, 0.133544922, -0.0127563477], [0.517211914, 0.11895752, -0.0113525391]],
        [0.486022949, -0.971893311, 0.486022949, 0.971282959, -0.472625732],
        [0.319397, -0.101288, 0.21701, 0.423279, -0.0933838, 0.222168, 0.509827, -0.0512695, 0.0494995, 0.423645,
         -0.0696411, -0.00598145]),
    16: (96000, [1199, 1743, 1557, 2064],
         [[0.227111816, 0.204406738, 0.227111816, 0.102172852], [0.200622559, 0.180541992, 0.200622559, 0.0902709961],
          [0.209289551, 0.188354492, 0.209289551, 0.0941772461], [0.186462402, 0.16784668, 0.186462402, 0.0839233398]],
         [0.495315552, -0.990615845, 0.495315552, 0.990539551, -0.490692139],
         [0.205536, 0.0769043, 0.0506592, 0.295837, 0.105652, 0.0637817, 0.33606, 0.136536, 0.0855103, 0.36499,
          0.02948, 0.0212402]),
    17: (88200, [1102, 1602, 1430, 1897],
         [[0.237731934, 0.225830078, 0.237731934, 0.0594482422], [0.209960938, 0.199462891, 0.209960938, 0.0524902344],
          [0.219116211, 0.208190918, 0.219116211, 0.0548095703], [0.19519043, 0.185424805, 0.19519043, 0.0487670898]],
         [0.494903564, -0.98979187, 0.494903564, 0.989715576, -0.489898682],
         [0.209869, 0.0811157, 0.0454102, 0.30188, 0.111023, 0.0545044, 0.343689, 0.14447, 0.0814209, 0.367432,
          0.0308838, 0.0206299]),
}


def f32(values):
    """The records hold 32-bit floats."""
    return np.asarray(values, dtype=np.float32).astype(np.float64)


def biquad_ba(coeffs):
    b0, b1, b2, f1, f2 = f32(coeffs)
    return np.array([2 * b0, 2 * b1, 2 * b2]), np.array([1.0, -2 * f1, -2 * f2])


def delayed(sig, d):
    out = np.zeros_like(sig)
    if d < len(sig):
        out[d:] = sig[:len(sig) - d]
    return out


def quantise(s):
    s = np.asarray(s, dtype=np.float64)
    q = np.floor(32768.0 * s + 0.5)
    q = np.where(s >= 65535.0 / 65536.0, 32767.0, q)
    q = np.where(s < -65535.0 / 65536.0, -32768.0, q)
    return q.astype(np.int64)


def run(mode, channels, raw=False):
    """Outputs (left, right) for 8 input channels of an 8-channel stream."""
    rate, delays, weights, bq, outw = MODES[mode]
    c = f32(INPUT_MIX)
    g = f32(SIDE)
    n = channels.shape[1]
    L = channels[0] + channels[3]
    R = channels[1] + channels[3]
    C = channels[2]
    SL, SR, BL, BR = channels[4], channels[5], channels[6], channels[7]
    x = [c[0] * R + c[1] * SR, c[2] * L + c[3] * SL, c[4] * BL + c[5] * C, c[6] * BR + c[7] * C]
    b, a = biquad_ba(bq)
    y = np.array([signal.lfilter(b, a, xk) for xk in x])
    rows = f32(ROWS)
    w = [f32(wk) for wk in weights]
    # The feedback loop, frame by frame.
    fb = np.zeros((4, n))
    e = np.zeros((4, n))
    for i in range(n):
        for k in range(4):
            acc = 0.0
            for t, wt in enumerate(w[k]):
                j = i - delays[k] - 1 - t
                if j >= 0:
                    acc += wt * fb[k, j]
            e[k, i] = acc
        z = y[:, i] + e[:, i]
        fb[:, i] = rows @ z
    cs = g[0] * C
    m0 = g[1] * L + g[2] * e[3]
    m1 = g[3] * R + g[4] * e[0]
    bls = g[5] * BL
    brs = g[6] * BR
    m2 = g[7] * SL + g[8] * e[1]
    m3 = g[9] * SR + g[10] * e[2]
    dm = [(f32(p)[0], f32(p)[1]) for p in DIFF_MIX]
    u = [cs, dm[0][0] * m0 + dm[0][1] * m1, dm[1][0] * m0 + dm[1][1] * m1, dm[2][0] * bls + dm[2][1] * brs,
         dm[3][0] * bls + dm[3][1] * brs, dm[4][0] * m2 + dm[4][1] * m3, dm[5][0] * m2 + dm[5][1] * m3]
    coeffs = gen_reverb_diffusers.tables()[mode]
    q = []
    for j in range(7):
        cj = f32(coeffs[j])
        fir = np.zeros(2 * len(cj) + 1)
        fir[2::2] = cj
        q.append(signal.lfilter(fir, [1.0], u[j]))
    w0 = sum(W0[j] * q[j] for j in range(7))
    w1 = sum(W1[j] * q[j] for j in range(7))
    ow = f32([0.5, 1.0, 0.5] + list(outw))
    outs = []
    for sigs in ([w0, cs, m0, bls, m2], [w1, cs, m1, brs, m3]):
        s = np.zeros(n)
        for si, sig in enumerate(sigs):
            for lag in range(3):
                s += ow[3 * si + lag] * delayed(sig, lag)
        outs.append(s if raw else quantise(s))
    return outs


def impulse(channel, n=FRAMES):
    ch = np.zeros((8, n))
    ch[channel, 0] = 1.0
    return ch


def reverberation_time(left, right, rate):
    """T60 from the slope of the Schroeder energy-decay curve between -5 and -25 dB."""
    energy = np.asarray(left, dtype=np.float64) ** 2 + np.asarray(right, dtype=np.float64) ** 2
    edc = np.cumsum(energy[::-1])[::-1]
    edc_db = 10 * np.log10(edc / edc[0])
    idx = np.nonzero((edc_db <= -5) & (edc_db >= -25))[0]
    slope = np.polyfit(idx / rate, edc_db[idx], 1)[0]
    return -60.0 / slope


REFERENCE_FREQS = [20, 50, 100, 150, 200, 237, 300, 500, 1000, 2000, 5000, 10000]


def biquad_points(mode):
    rate = MODES[mode][0]
    freqs = [f for f in REFERENCE_FREQS if f < rate / 4] + [rate / 4, rate / 2]
    b, a = biquad_ba(MODES[mode][3])
    _, h = signal.freqz(b, a, worN=np.array(freqs, dtype=np.float64), fs=rate)
    return freqs, 20 * np.log10(np.abs(h))


def minus3_frequency(mode):
    rate = MODES[mode][0]
    b, a = biquad_ba(MODES[mode][3])
    f = np.linspace(100, 500, 40001)
    _, h = signal.freqz(b, a, worN=f, fs=rate)
    return f[np.argmin(np.abs(20 * np.log10(np.abs(h)) + 3.0))]


def third_octave(left, right, rate):
    """Output power per 1/3-octave band from 200 Hz to 8 kHz, in dB, for white noise of unit
    power per sample at the input (2/n times the band's sum of |H|^2), so modes of
    different rates compare."""
    centres = [200 * 2 ** (i / 3) for i in range(0, 17)]
    n = len(left)
    spec = (2.0 / n) * (np.abs(np.fft.rfft(left)) ** 2 + np.abs(np.fft.rfft(right)) ** 2)
    freqs = np.fft.rfftfreq(n, 1.0 / rate)
    out = []
    for fc in centres:
        band = (freqs >= fc * 2 ** (-1 / 6)) & (freqs < fc * 2 ** (1 / 6))
        out.append((fc, 10 * np.log10(spec[band].sum() + 1e-30)))
    return out


def main():
    report = "--report" in sys.argv
    order = [0, 1, 2, 16, 17]
    blob = bytearray()
    rts = {}
    responses = {}
    for mode in order:
        for ch in IMPULSE_CHANNELS:
            left, right = run(mode, impulse(ch))
            responses[(mode, ch)] = (left, right)
            for side in (left, right):
                assert side.min() >= -32768 and side.max() <= 32767
                blob += struct.pack("<%dh" % FRAMES, *[int(v) for v in side])
        rate = MODES[mode][0]
        long_left, long_right = run(mode, impulse(4, rate), raw=True)
        rts[mode] = reverberation_time(long_left, long_right, rate)
    with open(os.path.join(ROOT, "tests/dsp/data/reverb_impulse_responses.bin"), "wb") as f:
        f.write(bytes(blob))
    with open(os.path.join(ROOT, "tests/dsp/reverb_reference.inc"), "w") as f:
        f.write("// Reference values of the reverb tests, made by tools/reverb_model.py; do not edit by hand.\n")
        f.write("// Input biquad response (scipy.signal.freqz of the records' coefficients): mode, rate,\n")
        f.write("// frequency in Hz, gain in dB.\n")
        f.write("const ReverbBiquadPoint kReverbBiquadPoints[] = {\n")
        for mode in order:
            freqs, db = biquad_points(mode)
            for fr, d in zip(freqs, db):
                f.write("    {%d, %d, %.6f, %.6f},\n" % (mode, MODES[mode][0], fr, d))
        f.write("};\n")
        f.write("// The -3 dB frequency of the input biquad, and the model's reverberation time (s,\n")
        f.write("// energy-decay slope from -5 to -25 dB of the 1 s response to channel 4).\n")
        f.write("const ReverbModeFigures kReverbModeFigures[] = {\n")
        for mode in order:
            f.write("    {%d, %.3f, %.4f},\n" % (mode, minus3_frequency(mode), rts[mode]))
        f.write("};\n")
    if report:
        for mode in order:
            print("mode %2d: -3 dB at %.1f Hz, RT %.4f s, peak %d" % (
                mode, minus3_frequency(mode), rts[mode],
                max(int(np.abs(np.concatenate(responses[(mode, ch)])).max()) for ch in IMPULSE_CHANNELS)))
        half_second = {m: run(m, impulse(4, MODES[m][0] // 2), raw=True) for m in order}
        for pair in ((0, 1), (16, 17), (0, 16)):
            print("1/3-octave output power (dB), white noise on channel 4, modes %d and %d:" % pair)
            bands = [third_octave(*half_second[m], MODES[m][0]) for m in pair]
            for (fc, a), (_, b) in zip(*bands):
                print("  %7.0f Hz  %7.2f  %7.2f  (%+.2f)" % (fc, a, b, b - a))


if __name__ == "__main__":
    main()
