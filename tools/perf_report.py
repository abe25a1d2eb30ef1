#!/usr/bin/env python3
"""The performance report: every benchmark binary and the quality harness in one run on
one pinned core, written as one markdown file.

    perf_report.py run [--build build/default] [--out DIR] [--repetitions 7] [--cpu N]
        runs the binaries (Google Benchmark, JSON output) pinned to one core, records the
        machine (processor model, instruction sets, cores, compiler, peer versions) in
        DIR/environment.json and writes DIR/report.md.
    perf_report.py render DIR [--out FILE]
        writes the report of a recorded run (DIR holds <binary>.json and environment.json).

The report opens with the aims table: every aim of the benchmark list with its measured
figure and "met" or "missed"; "peer absent" when the peer it is judged against was not
installed, "not built yet" when the path it measures does not exist. The full figures
follow, binary by binary: the median of the repetitions, their spread, and the share of
one core's measured peak (SSE add/multiply loop, non-temporal copy) where it applies.

Standard library only.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys

# Binaries under <build>/bench, in report order: name -> path.
BINARIES = [
    ("bench_peak", "primitives/core/bench_peak"),
    ("bench_quality", "quality/bench_quality"),
    ("bench_fft", "primitives/fft/bench_fft"),
    ("bench_fir", "primitives/filters/bench_fir"),
    ("bench_iir", "primitives/filters/bench_iir"),
    ("bench_core", "primitives/core/bench_core"),
    ("bench_convert", "primitives/core/bench_convert"),
    ("bench_vecmath", "primitives/vecmath/bench_vecmath"),
    ("bench_vecmath_divide", "primitives/vecmath/bench_vecmath_divide"),
    ("bench_vecmath_functions", "primitives/vecmath/bench_vecmath_functions"),
    ("bench_resample", "dsp/bench_resample"),
    ("bench_reverb", "dsp/bench_reverb"),
    ("bench_leveler", "dsp/bench_leveler"),
    ("bench_virtualiser_engine", "dsp/virtualiser/bench_virtualiser_engine"),
    ("bench_process_buffer", "stream/bench_process_buffer"),
    ("bench_render_send", "stream/bench_render_send"),
    ("bench_capture_receive", "stream/bench_capture_receive"),
    ("bench_feedback", "stream/bench_feedback"),
    ("bench_uac2_stream", "stream/bench_uac2_stream"),
    ("bench_chip_a_render", "stream/bench_chip_a_render"),
    ("bench_chip_d_pack", "stream/bench_chip_d_pack"),
    ("bench_chip_d_effects", "uac/bench_chip_d_effects"),
    ("bench_chip_a_nodes", "uac/bench_chip_a_nodes"),
    ("bench_chip_a_jack_poll", "uac/bench_chip_a_jack_poll"),
    ("bench_chip_bc_volume", "uac/bench_chip_bc_volume"),
    ("bench_selective_suspend", "adapter/bench_selective_suspend"),
    ("bench_ks_requests", "adapter/bench_ks_requests"),
    ("bench_asio_stream", "adapter/bench_asio_stream"),
    ("bench_asio_request", "adapter/bench_asio_request"),
    ("bench_wave_stream", "filters/bench_wave_stream"),
    ("bench_wave_position", "filters/bench_wave_position"),
    ("bench_clock", "platform/kernel/bench_clock"),
    ("bench_iso_stream", "platform/kernel/bench_iso_stream"),
    ("bench_chip_a_start", "uac/bench_chip_a_start"),
]

# The peers as Debian packages, for their versions.
PEERS = ["libfftw3-dev", "libkissfft-dev", "libliquid-dev", "libvolk2-dev", "libsleef-dev",
         "libsoxr-dev", "libspeexdsp-dev", "libzita-convolver-dev", "libsox-dev"]

MET, MISSED, PEER_ABSENT, NOT_BUILT = "met", "missed", "peer absent", "not built yet"

_UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


class Row:
    """One benchmark over its repetitions: medians and the spread of the CPU time."""

    def __init__(self, name, runs):
        self.name = name
        scale = _UNIT_NS.get(runs[0].get("time_unit", "ns"), 1.0)
        times = [r["cpu_time"] * scale for r in runs]
        self.ns = statistics.median(times)
        self.spread = (max(times) - min(times)) / self.ns * 100 if self.ns > 0 else 0.0
        self.repetitions = len(runs)
        self.label = runs[0].get("label", "")
        keys = [k for k in runs[0] if k not in _STANDARD_KEYS and isinstance(runs[0][k], (int, float))]
        self.counters = {k: statistics.median(r[k] for r in runs if k in r) for k in keys}

    def counter(self, key):
        return self.counters.get(key)


_STANDARD_KEYS = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
                  "repetitions", "repetition_index", "threads", "iterations", "real_time",
                  "cpu_time", "time_unit", "label", "error_occurred", "error_message",
                  "aggregate_name", "aggregate_unit"}


class Results:
    """Every binary's rows, and its run context."""

    def __init__(self):
        self.rows = {}      # binary -> {name: Row}
        self.context = {}   # binary -> context dict

    @staticmethod
    def load(directory):
        res = Results()
        for binary, _ in BINARIES:
            path = os.path.join(directory, binary + ".json")
            if not os.path.exists(path):
                continue
            try:
                with open(path, encoding="utf-8") as f:
                    data = json.load(f)
            except ValueError:  # a binary that ran nothing or stopped before its output
                continue
            res.context[binary] = data.get("context", {})
            groups = {}
            for b in data.get("benchmarks", []):
                if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                    continue
                groups.setdefault(b.get("run_name", b["name"]), []).append(b)
            res.rows[binary] = {name: Row(name, runs) for name, runs in groups.items()}
        return res

    def get(self, binary, name):
        return self.rows.get(binary, {}).get(name)

    def matching(self, binary, pattern):
        rx = re.compile(pattern)
        return [r for n, r in self.rows.get(binary, {}).items() if rx.fullmatch(n)]

    def built(self, binary):
        return binary in self.rows


# ---- figures ---------------------------------------------------------------------------

def fmt_time(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return "%.3g ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.3g µs" % (ns / 1e3)
    return "%.3g ns" % ns


def fmt_ratio(x):
    return "%.2fx" % x


def fastest(rows):
    rows = [r for r in rows if r is not None]
    return min(rows, key=lambda r: r.ns) if rows else None


class Aim:
    def __init__(self, area, text, judge):
        self.area, self.text, self.judge = area, text, judge


def _ours_missing(*rows):
    return any(r is None for r in rows) or any(isinstance(r, list) and not r for r in rows)


def aim_fft_builds(res):
    worst = None
    for kind, orders in (("Complex", range(6, 21)), ("Real", range(6, 15))):
        for order in orders:
            generic = res.get("bench_fft", "BM_%s_Ours/%d" % (kind, order))
            for build in ("Sse3", "Ssse3", "Sse41"):
                row = res.get("bench_fft", "BM_%s_%s/%d" % (kind, build, order))
                if generic is None or row is None:
                    continue
                speedup = generic.ns / row.ns
                if worst is None or speedup < worst[0]:
                    worst = (speedup, "%s %s 2^%d" % (kind.lower(), build.lower(), order))
    if worst is None:
        return "-", NOT_BUILT
    return "slowest build %s generic (%s)" % (fmt_ratio(worst[0]), worst[1]), MET if worst[0] > 1.0 else MISSED


def _fft_fastest(res, order):
    return fastest([res.get("bench_fft", "BM_Complex_%s/%d" % (b, order))
                    for b in ("Ours", "Sse3", "Ssse3", "Sse41")])


def aim_fft_vs_fftw_nosimd(res):
    worst = None
    for order in range(8, 17):
        ours, fftw = _fft_fastest(res, order), res.get("bench_fft", "BM_Complex_FftwNoSimd/%d" % order)
        if ours is None:
            return "-", NOT_BUILT
        if fftw is None:
            return "fastest build %s at 2^%d" % (fmt_time(ours.ns), order), PEER_ABSENT
        ratio = fftw.ns / ours.ns
        if worst is None or ratio < worst[0]:
            worst = (ratio, order)
    if worst is None:
        return "-", NOT_BUILT
    return "%s faster than FFTW (no SIMD) at worst (2^%d)" % (fmt_ratio(worst[0]), worst[1]), \
        MET if worst[0] >= 2.0 else MISSED


def aim_fft_vs_fftw_simd(res):
    worst = None
    for order in range(8, 17):
        ours, fftw = _fft_fastest(res, order), res.get("bench_fft", "BM_Complex_FftwSimd/%d" % order)
        if ours is None:
            return "-", NOT_BUILT
        if fftw is None:
            return "fastest build %s at 2^%d" % (fmt_time(ours.ns), order), PEER_ABSENT
        ratio = ours.ns / fftw.ns
        if worst is None or ratio > worst[0]:
            worst = (ratio, order, fftw.label)
    return "%s the time of FFTW (%s) at worst (2^%d)" % (fmt_ratio(worst[0]), worst[2] or "SIMD", worst[1]), \
        MET if worst[0] <= 2.0 else MISSED


def aim_fir_builds(res):
    worst = None
    for block in (128, 511, 512):
        generic = res.get("bench_fir", "BM_Sp_SingleRate101/0/%d" % block)
        best = fastest([res.get("bench_fir", "BM_Sp_SingleRate101/%d/%d" % (b, block)) for b in (1, 2, 3)])
        if generic is None or best is None:
            continue
        speedup = generic.ns / best.ns
        if worst is None or speedup < worst[0]:
            worst = (speedup, block)
    if worst is None:
        return "-", NOT_BUILT
    return "fastest build %s generic at worst (101 taps, block %d)" % (fmt_ratio(worst[0]), worst[1]), \
        MET if worst[0] >= 2.0 else MISSED


def aim_fir_one_sample(res):
    best = fastest(res.matching("bench_fir", r"BM_Sp_OneSample24/\d"))
    if best is None:
        return "-", NOT_BUILT
    return "%s per sample" % fmt_time(best.ns), MET if best.ns <= 10.0 else MISSED


def aim_iir_vs_liquid(res):
    worst = None
    for order in (4, 8):
        ours = fastest(res.matching("bench_iir", r"BM_Sp_(Biquads|ArbitraryOrder)/%d/\d" % order))
        peer = fastest(res.matching("bench_iir", r"BM_Liquid_\w+/%d" % order))
        if ours is None:
            return "-", NOT_BUILT
        if peer is None:
            return "fastest build %s (order %d)" % (fmt_time(ours.ns), order), PEER_ABSENT
        ratio = peer.ns / ours.ns
        if worst is None or ratio < worst[0]:
            worst = (ratio, order)
    return "%s liquid-dsp's speed at worst (order %d)" % (fmt_ratio(worst[0]), worst[1]), \
        MET if worst[0] > 1.0 else MISSED


def aim_vecmath_vs_volk_sse(res):
    worst = None
    for op in ("Add", "Multiply", "SquareRoot", "Sum"):
        ours = fastest(res.matching("bench_vecmath", r"BM_%s_(generic|sse3|ssse3|sse41)(_fast)?" % op))
        peer = res.get("bench_vecmath", "BM_%s/volk_a_sse" % op)
        if ours is None:
            return "-", NOT_BUILT
        if peer is None:
            continue
        ratio = peer.ns / ours.ns
        if worst is None or ratio < worst[0]:
            worst = (ratio, op.lower())
    if worst is None:
        return "-", PEER_ABSENT
    return "%s libvolk's SSE kernel at worst (%s)" % (fmt_ratio(worst[0]), worst[1]), \
        MET if worst[0] >= 1.0 else MISSED


def aim_explog_vs_sleef(res):
    """Ours against SLEEF's SSE-class function of the nearest accuracy that ours equals or
    betters (the most accurate one no more accurate than ours); when every SLEEF function is
    more accurate, ours misses the aim's accuracy."""
    worst = None
    for op in ("Exp", "Log"):
        ours = fastest(res.matching("bench_vecmath_functions", r"BM_%s/(generic|sse3|ssse3|sse41)" % op))
        if ours is None:
            return "-", NOT_BUILT
        sleef = res.matching("bench_vecmath_functions", r"BM_%s/sleef_u\d+sse4" % op)
        if not sleef:
            return "%s %s" % (op.lower(), fmt_time(ours.ns)), PEER_ABSENT
        ulp = ours.counter("max_ulp") or 0.0
        fair = [r for r in sleef if (r.counter("max_ulp") or 0.0) >= ulp - 1e-9]
        if not fair:
            best = min(sleef, key=lambda r: r.counter("max_ulp") or 0.0)
            return "%s %.2f ulp, less accurate than SLEEF's %s (%.2f ulp)" % (
                op.lower(), ulp, best.name.split("/")[-1], best.counter("max_ulp") or 0.0), MISSED
        peer = min(fair, key=lambda r: (r.counter("max_ulp") or 0.0, r.ns))
        ratio = ours.ns / peer.ns
        if worst is None or ratio > worst[0]:
            worst = (ratio, op.lower(), ulp, peer.name.split("/")[-1], peer.counter("max_ulp") or 0.0)
    figure = "%s SLEEF's time at worst (%s at %.2f ulp beside %s at %.2f ulp)" % (
        fmt_ratio(worst[0]), worst[1], worst[2], worst[3], worst[4])
    return figure, MET if worst[0] <= 1.5 else MISSED


def aim_divide(res):
    generic = res.get("bench_vecmath_functions", "BM_Divide/generic")
    best = fastest([res.get("bench_vecmath_functions", "BM_Divide/%s" % b) for b in ("sse3", "ssse3", "sse41")])
    if generic is None or best is None:
        return "-", NOT_BUILT
    speedup = generic.ns / best.ns
    return "fastest build %s generic" % fmt_ratio(speedup), MET if speedup >= 2.0 else MISSED


def aim_resampling(res):
    slowest_rt, worst_ratio, peer_absent = None, None, False
    for t in ("std::int16_t", "float"):
        for a, b in ((44100, 48000), (48000, 44100)):
            ours = res.get("bench_resample", "BM_Container<%s>/in:%d/out:%d/ch:2" % (t, a, b))
            if ours is None or ours.counter("x_realtime") is None:
                return "-", NOT_BUILT
            rt = ours.counter("x_realtime")
            slowest_rt = rt if slowest_rt is None else min(slowest_rt, rt)
            soxr = res.get("bench_resample", "BM_Soxr<%s>/in:%d/out:%d/ch:2/recipe:2" % (t, a, b))
            if soxr is None:
                peer_absent = True
                continue
            ratio = soxr.ns / ours.ns
            worst_ratio = ratio if worst_ratio is None else min(worst_ratio, ratio)
    if peer_absent:
        return "%.0fx real time at worst" % slowest_rt, PEER_ABSENT
    ok = slowest_rt >= 1000 and worst_ratio >= 1.0
    return "%.0fx real time, %s soxr HQ's speed at worst" % (slowest_rt, fmt_ratio(worst_ratio)), \
        MET if ok else MISSED


def aim_leveller_mode0(res):
    lev = res.get("bench_leveler", "BM_LevelerProcess/ch:2/mode:0/level:200")
    gain = res.get("bench_leveler", "BM_PeerMulConst/ch:2")
    refresh = res.get("bench_leveler", "BM_Refresh/ch:2")
    if lev is None or gain is None:
        return "-", NOT_BUILT
    own = lev.ns - (refresh.ns if refresh else 0.0)
    ratio = own / gain.ns
    return "%s per 512 stereo frames, %s the gain pass" % (fmt_time(own), fmt_ratio(ratio)), \
        MET if ratio <= 3.0 else MISSED


def aim_leveller_mode1(res):
    lev = res.get("bench_leveler", "BM_LevelerProcess/ch:2/mode:1/level:10")
    fir = res.get("bench_leveler", "BM_PeerFir101/ch:2/block:512")
    refresh = res.get("bench_leveler", "BM_Refresh/ch:2")
    if lev is None or fir is None:
        return "-", NOT_BUILT
    own = lev.ns - (refresh.ns if refresh else 0.0)
    ratio = own / fir.ns
    return "%s the 101-tap FIR" % fmt_ratio(ratio), MET if ratio <= 1.5 else MISSED


def _reverb_mode(res, mode):
    for r in res.matching("bench_reverb", r"BM_Reverb/\d+"):
        if r.label == "mode %d" % mode:
            return r
    return None


def aim_reverb(res):
    m0, m16 = _reverb_mode(res, 0), _reverb_mode(res, 16)
    if m0 is None or m16 is None:
        return "-", NOT_BUILT
    sox = res.get("bench_reverb", "BM_SoxReverbStereo")
    peer = ", %s libsox's time (mode 0)" % fmt_ratio(m0.ns / sox.ns) if sox else ", libsox absent"
    ok = m0.ns <= 100e3 and m16.ns <= 200e3
    return "mode 0 %s, mode 16 %s%s" % (fmt_time(m0.ns), fmt_time(m16.ns), peer), MET if ok else MISSED


def aim_engine_frame(res):
    src = res.get("bench_virtualiser_engine", "BM_Src_Factor1_DownAndUp")
    if src is None:
        return "-", NOT_BUILT
    worst = None
    for row in range(3):
        ours = res.get("bench_virtualiser_engine", "BM_IirFilter_ThirdOrder/%d" % row)
        generic = res.get("bench_virtualiser_engine", "BM_SpIirGeneric_ThirdOrder/%d" % row)
        liquid = res.get("bench_virtualiser_engine", "BM_Liquid_ThirdOrder/%d" % row)
        if ours is None or generic is None:
            return "-", NOT_BUILT
        slowest_peer = min(generic.ns, liquid.ns) if liquid else generic.ns
        ratio = ours.ns / slowest_peer
        if worst is None or ratio > worst:
            worst = ratio
    liquid_there = res.get("bench_virtualiser_engine", "BM_Liquid_ThirdOrder/0") is not None
    figure = "CSrc %s per block and channel; section %s the faster peer's time" % (fmt_time(src.ns),
                                                                                  fmt_ratio(worst))
    if not liquid_there:
        return figure, PEER_ABSENT
    return figure, MET if src.ns <= 6e3 and worst <= 1.0 else MISSED


def aim_convolver(res):
    conv = res.get("bench_virtualiser_engine", "BM_HeadphoneFir_Process8_Q14/0")
    wrap44 = res.get("bench_virtualiser_engine", "BM_LpvEffect_Process8/44100")
    wrap48 = res.get("bench_virtualiser_engine", "BM_LpvEffect_Process8/48000")
    alone = res.get("bench_virtualiser_engine", "BM_LpvEffect_ConvolverAlone")
    select = res.get("bench_virtualiser_engine", "BM_LpvEffect_FilterSelection")
    if None in (conv, wrap44, wrap48, alone, select):
        return "-", NOT_BUILT
    zita = res.get("bench_virtualiser_engine", "BM_ZitaConvolver_SameWork")
    figure = "convolver %s, wrapper %s the convolver at 44.1 kHz and %s at 48 kHz, selection %s" % (
        fmt_time(conv.ns), fmt_ratio(wrap44.ns / alone.ns), fmt_time(wrap48.ns), fmt_time(select.ns))
    ok = conv.ns <= 40e3 and wrap44.ns / alone.ns <= 1.25 and wrap48.ns <= 130e3 and select.ns <= 200e3
    if zita is None:
        return figure, PEER_ABSENT
    figure += ", %s zita-convolver's time" % fmt_ratio(conv.ns / zita.ns)
    return figure, MET if ok and conv.ns / zita.ns <= 1.5 else MISSED


def _per_ms_ns(row):
    """A row's CPU time per millisecond of audio in ns: its "per_ms" counter (seconds) or,
    without one, its time per iteration."""
    per_ms = row.counter("per_ms")
    return per_ms * 1e9 if per_ms is not None else row.ns


def aim_render(res):
    uac1 = res.get("bench_render_send", "BM_RenderSendPath/ms:1/object:0")
    uac2 = res.get("bench_uac2_stream", "BM_Uac2RenderSendPath/ms:1")
    if uac1 is None and uac2 is None:
        return "-", NOT_BUILT
    parts, worst = [], 0.0
    for label, row in (("UAC 1.0", uac1), ("UAC 2.0", uac2)):
        if row is None:
            parts.append("%s not built" % label)
            continue
        ns = _per_ms_ns(row)
        worst = max(worst, ns)
        parts.append("%s %s" % (label, fmt_time(ns)))
    return "per ms of audio (1 ms URBs): %s" % ", ".join(parts), MET if worst <= 2000 else MISSED


def aim_asio(res):
    row = res.get("bench_asio_stream", "BM_AsioRenderCapture/96")
    if row is None:
        return "-", NOT_BUILT
    ns = _per_ms_ns(row)
    return "%s per ms of render plus capture (1 ms URBs)" % fmt_time(ns), MET if ns <= 2000 else MISSED


def aim_virtualiser_node(res):
    node44 = res.get("bench_chip_d_effects", "BM_VirtualiserNode/44100")
    node48 = res.get("bench_chip_d_effects", "BM_VirtualiserNode/48000")
    wrap44 = res.get("bench_chip_d_effects", "BM_VirtualiserWrapperAlone/44100")
    if None in (node44, node48, wrap44):
        return "-", NOT_BUILT
    ratio = node44.ns / wrap44.ns
    return "%s the wrapper at 44.1 kHz, %s at 48 kHz" % (fmt_ratio(ratio), fmt_time(node48.ns)), \
        MET if ratio <= 1.3 and node48.ns <= 150e3 else MISSED


def aim_reverb_node(res):
    node = res.get("bench_chip_d_effects", "BM_ReverbNode")
    alone = res.get("bench_chip_d_effects", "BM_ReverbAlone")
    if node is None or alone is None:
        return "-", NOT_BUILT
    ratio = node.ns / alone.ns
    return "%s the reverb (%s per 512 frames)" % (fmt_ratio(ratio), fmt_time(node.ns)), \
        MET if ratio <= 1.2 else MISSED


def aim_chip_d_render(res):
    """Both effect nodes per millisecond of 48 kHz audio, plus the repack of that
    millisecond's 16-bit frames."""
    effects = res.get("bench_chip_d_effects", "BM_BothEffectsPerMs/48000")
    pack = res.get("bench_chip_d_pack", "BM_Pack/16")
    if effects is None or effects.counter("us_per_ms_audio") is None:
        return "-", NOT_BUILT
    ns = effects.counter("us_per_ms_audio") * 1e3
    figure = "effects %s" % fmt_time(ns)
    if pack is not None:
        figure += " + repack %s" % fmt_time(pack.ns)
        ns += pack.ns
    return "%s = %s per ms of 48 kHz audio" % (figure, fmt_time(ns)), MET if ns <= 15e3 else MISSED


def aim_chip_d_repack(res):
    worst = None
    for bits in (16, 24, 32):
        pack = res.get("bench_chip_d_pack", "BM_Pack/%d" % bits)
        copy = res.get("bench_chip_d_pack", "BM_StridedCopy/%d" % bits)
        if pack is None or copy is None:
            continue
        ratio = pack.ns / copy.ns
        if worst is None or ratio > worst[0]:
            worst = (ratio, bits)
    if worst is None:
        return "-", NOT_BUILT
    return "%s the strided copy at worst (%d-bit)" % (fmt_ratio(worst[0]), worst[1]), \
        MET if worst[0] <= 1.2 else MISSED


def aim_wake(res):
    row = res.get("bench_selective_suspend", "BM_WakeForRequestNothingPending")
    if row is None:
        return "-", NOT_BUILT
    return fmt_time(row.ns), MET if row.ns <= 1000 else MISSED


def aim_simulation(res):
    # Google Benchmark names the run with its fixed iterations and manual time.
    row = fastest(res.matching("bench_wave_stream", r"BM_WaveRenderCaptureMinute(/.*)?"))
    if row is None or row.counter("x_real_time") is None:
        return "-", NOT_BUILT
    x = row.counter("x_real_time")
    return "%.0fx real time" % x, MET if x >= 100 else MISSED


AIMS = [
    Aim("FFT", "every processor build faster than the generic build at every size", aim_fft_builds),
    Aim("FFT", "fastest build at least 2x FFTW without SIMD, 2^8-2^16", aim_fft_vs_fftw_nosimd),
    Aim("FFT", "fastest build within 2x of FFTW with SIMD, 2^8-2^16", aim_fft_vs_fftw_simd),
    Aim("FIR", "fastest build at least 2x the generic build", aim_fir_builds),
    Aim("FIR", "one-sample filter at most 10 ns per sample", aim_fir_one_sample),
    Aim("IIR", "fastest build ahead of liquid-dsp", aim_iir_vs_liquid),
    Aim("Vector math", "at least as fast as libvolk's SSE-class kernel", aim_vecmath_vs_volk_sse),
    Aim("Vector math", "exp and log within 1.5x of SLEEF's SSE-class functions at equal or better accuracy",
        aim_explog_vs_sleef),
    Aim("Vector math", "division at least 2x the generic build", aim_divide),
    Aim("Resampling", "containers at least 1000x real time and not slower than soxr HQ (stereo 44.1 <-> 48 kHz)",
        aim_resampling),
    Aim("Leveller", "mode 0 at most 3x the generic gain pass", aim_leveller_mode0),
    Aim("Leveller", "mode 1 at most 1.5x the generic 101-tap FIR", aim_leveller_mode1),
    Aim("Reverb", "at most 100 µs (mode 0) and 200 µs (mode 16) per 512 frames on 8 channels", aim_reverb),
    Aim("Engine frame", "CSrc factor 1 at most 6 µs per block and channel; third-order section not slower "
        "than the generic IIR primitive and liquid-dsp", aim_engine_frame),
    Aim("Convolver", "at most 40 µs per block (generic build), within 1.5x of zita-convolver; wrapper at most "
        "1.25x the convolver at 44.1 kHz and 130 µs at 48 kHz; filter selection at most 200 µs", aim_convolver),
    Aim("Nodes", "virtualiser node at most 1.3x the wrapper at 44.1 kHz and 150 µs at 48 kHz",
        aim_virtualiser_node),
    Aim("Nodes", "reverb node at most 1.2x the reverb", aim_reverb_node),
    Aim("Nodes", "chip D render path at most 15 µs of CPU per ms of audio with both effects on",
        aim_chip_d_render),
    Aim("Nodes", "chip D repack within 1.2x of a strided copy", aim_chip_d_repack),
    Aim("Driver", "render at most 2 µs of CPU per ms of 48 kHz/16-bit stereo audio", aim_render),
    Aim("Driver", "ASIO at most 2 µs of CPU per ms of audio", aim_asio),
    Aim("Driver", "WakeForRequest at most 1 µs", aim_wake),
    Aim("Simulation", "at least 100x faster than real time with default jitter", aim_simulation),
]


# ---- share of one core's peak ----------------------------------------------------------

# Floating-point operations per item for the arithmetic tables: (binary, name pattern,
# flops per item or a function of the row name).
FLOPS = [
    ("bench_vecmath", r"BM_(Add|Multiply)_.*|BM_(Add|Multiply)/volk.*", lambda n: 1.0),
    ("bench_vecmath", r"BM_Sum_.*|BM_Sum/volk.*", lambda n: 1.0),
    ("bench_vecmath_functions", r"BM_Dot/.*", lambda n: 2.0),
    ("bench_fft", r"BM_(Complex|Real)_\w+/(\d+)", lambda n: 5.0 * int(n.split("/")[-1])),
    ("bench_fir", r"BM_Sp_SingleRate101/.*|BM_Liquid_SingleRate101/.*", lambda n: 202.0),
]


def peaks(res):
    flops = res.get("bench_peak", "BM_Peak_SseAddMultiply")
    copy = res.get("bench_peak", "BM_Peak_NonTemporalCopy")
    return (flops.counter("flops") if flops else None,
            copy.counter("bytes_per_second") if copy else None)


def share_of_peak(res, binary, row):
    """GB/s or GFLOP/s of a row and its share of the core's measured peak for that mix."""
    peak_flops, peak_bytes = peaks(res)
    rate = row.counter("bytes_per_second")
    if peak_bytes and rate and binary != "bench_peak":
        return "%.3g GB/s, %.0f%% of copy peak" % (rate / 1e9, 100.0 * rate / peak_bytes)
    items = row.counter("items_per_second")
    if peak_flops and items:
        for b, pattern, per_item in FLOPS:
            if b == binary and re.fullmatch(pattern, row.name):
                flops = items * per_item(row.name)
                return "%.3g GFLOP/s, %.0f%% of SSE peak" % (flops / 1e9, 100.0 * flops / peak_flops)
    return ""


# ---- the report ------------------------------------------------------------------------

def fmt_counter(key, value):
    if key.endswith("per_second"):
        unit = "B/s" if key.startswith("bytes") else "/s"
        for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
            if value >= scale:
                return "%s=%.3g%s%s" % (key, value / scale, prefix, unit)
        return "%s=%.3g%s" % (key, value, unit)
    if key in ("per_ms", "frame_time"):
        return "%s=%s" % (key, fmt_time(value * 1e9))
    if key == "us_per_ms_audio":
        return "%s=%s" % (key, fmt_time(value * 1e3))
    return "%s=%.4g" % (key, value)


# The resamplers' speed (float stereo, bench_resample) beside what it buys (bench_quality):
# label, the speed row's name pattern with %d for the rates, the quality row's converter.
RESAMPLERS = [
    ("ours", "BM_Container<float>/in:%d/out:%d/ch:2", "ours"),
    ("soxr LQ", "BM_Soxr<float>/in:%d/out:%d/ch:2/recipe:0", "soxr_lq"),
    ("soxr MQ", "BM_Soxr<float>/in:%d/out:%d/ch:2/recipe:1", "soxr_mq"),
    ("soxr HQ", "BM_Soxr<float>/in:%d/out:%d/ch:2/recipe:2", "soxr_hq"),
    ("speexdsp q3", "BM_Speex<float>/in:%d/out:%d/ch:2/quality:3", "speex_q3"),
    ("speexdsp q10", "BM_Speex<float>/in:%d/out:%d/ch:2/quality:10", "speex_q10"),
]


def resampler_section(res):
    out = ["## Resamplers: speed beside quality", "",
           "Float stereo through each converter; THD+N and images over tones of 100 Hz to 15 kHz, ripple over "
           "20 Hz to 20 kHz, stopband: the worst leak of a tone past the Nyquist rates (bench_quality).", "",
           "| converter | direction | x real time | THD+N | worst image | ripple | stopband |",
           "|---|---|---|---|---|---|---|"]
    for label, speed_name, quality_name in RESAMPLERS:
        for a, b in ((44100, 48000), (48000, 44100)):
            speed = res.get("bench_resample", speed_name % (a, b))
            q = res.get("bench_quality", "BM_Resampler/%s/%d_%d/iterations:1" % (quality_name, a, b))
            if speed is None and q is None:
                out.append("| %s | %d -> %d | absent | | | | |" % (label, a, b))
                continue
            rt = "%.0fx" % speed.counter("x_realtime") if speed and speed.counter("x_realtime") else "-"

            def db(key):
                return "%.1f dB" % q.counter(key) if q and q.counter(key) is not None else "-"
            ripple = "%.3f dB" % q.counter("ripple_db") if q and q.counter("ripple_db") is not None else "-"
            out.append("| %s | %d -> %d | %s | %s | %s | %s | %s |" % (label, a, b, rt, db("thd_n_db"), db("image_db"),
                                                                    ripple, db("stopband_db")))
    return out + [""]


# The driver's paths beside bare operations on the same bytes: label, binary, the path's
# row, the bare row (same binary).
DRIVER_PATHS = [
    ("UAC 1.0 render, 1 ms URBs", "bench_render_send", "BM_RenderSendPath/ms:1/object:0", "BM_BareCopy/1"),
    ("UAC 1.0 capture, 1 ms URBs", "bench_capture_receive", "BM_CaptureReceivePath/ms:1/object:0",
     "BM_BareCopy/1"),
    ("UAC 2.0 render, 1 ms URBs", "bench_uac2_stream", "BM_Uac2RenderSendPath/ms:1", "BM_BareCopy/1"),
    ("UAC 2.0 capture, 1 ms URBs", "bench_uac2_stream", "BM_Uac2CaptureReceivePath/ms:1", "BM_BareCopy/1"),
    ("chip A render, 8 channels, 1 ms URBs", "bench_chip_a_render", "BM_ChipARenderSendPath/ms:1/gain_mode:0",
     "BM_BareCopy8Channels/1"),
    ("ProcessBuffer, empty lists", "bench_process_buffer", "BM_ProcessBuffer_EmptyLists", "BM_BareCopy"),
    ("ProcessBuffer, one effect object", "bench_process_buffer", "BM_ProcessBuffer_OneEffectNode", "BM_BareCopy"),
    ("GetPosition", "bench_wave_position", "BM_GetPosition", "BM_BareRead"),
    ("ASIO render plus capture, 1 ms URBs", "bench_asio_stream", "BM_AsioRenderCapture/96", "BM_BareCopy/1"),
    ("WakeForRequest, nothing pending", "bench_selective_suspend", "BM_WakeForRequestNothingPending",
     "BM_InterlockedIncrementDecrement"),
]


def driver_section(res):
    out = ["## Driver paths beside bare operations", "",
           "CPU time per millisecond of audio (per call where the path has no audio), beside a bare copy of the "
           "same bytes (a bare read for GetPosition, an interlocked increment and decrement for WakeForRequest).",
           "", "| path | time | bare | ratio |", "|---|---|---|---|"]
    for label, binary, path, bare in DRIVER_PATHS:
        row, floor = res.get(binary, path), res.get(binary, bare)
        if row is None:
            out.append("| %s | not built | | |" % label)
            continue
        ns = _per_ms_ns(row)
        bare_ns = _per_ms_ns(floor) if floor else None
        ratio = fmt_ratio(ns / bare_ns) if bare_ns else "-"
        out.append("| %s | %s | %s | %s |" % (label, fmt_time(ns), fmt_time(bare_ns), ratio))
    return out + [""]


def render(res, env):
    out = ["# Performance report", ""]
    ctx = next(iter(res.context.values()), {})
    model = env.get("cpu_model") or ctx.get("cpu_model", "unknown")
    sets = env.get("instruction_sets") or ctx.get("instruction_sets", "unknown")
    out += ["| | |", "|---|---|",
            "| processor | %s |" % model,
            "| instruction sets (CPUID) | %s |" % sets,
            "| cores | %s (run pinned to core %s) |" % (env.get("cores", ctx.get("num_cpus", "?")),
                                                    env.get("pinned_core", "?")),
            "| compiler | %s |" % env.get("compiler", "unknown"),
            "| repetitions | %s (median, spread = (max - min) / median) |" % env.get("repetitions", "?"),
            "| date | %s |" % (env.get("date") or ctx.get("date", "?"))]
    if env.get("settings"):
        out.append("| settings | %s |" % env["settings"])
    peers = env.get("peers", {})
    if peers:
        out.append("| peers | %s |" % ", ".join("%s %s" % (p, v) for p, v in sorted(peers.items())))
    out += ["", "## Aims", "", "| area | aim | measured | verdict |", "|---|---|---|---|"]
    counts = {}
    for aim in AIMS:
        figure, verdict = aim.judge(res)
        counts[verdict] = counts.get(verdict, 0) + 1
        out.append("| %s | %s | %s | %s |" % (aim.area, aim.text, figure, verdict))
    out += ["", ", ".join("%d %s" % (counts[v], v) for v in (MET, MISSED, PEER_ABSENT, NOT_BUILT)
                          if v in counts), ""]
    out += resampler_section(res)
    out += driver_section(res)
    out += ["## Figures", "",
            "CPU time is the median over the repetitions. The share of peak sets a row's rate beside one core's "
            "measured limit for its mix (bench_peak: packed SSE adds and multiplies; a 256 MB non-temporal copy); "
            "FFT rates count the nominal 5 N log2 N operations per transform (a real round trip as one).", ""]
    for binary, _ in BINARIES:
        if not res.built(binary):
            out += ["### %s" % binary, "", "no figures (binary not built, or nothing in it ran)", ""]
            continue
        out += ["### %s" % binary, "", "| benchmark | CPU time | spread | figures | share of peak | note |",
                "|---|---|---|---|---|---|"]
        for name, row in res.rows[binary].items():
            counters = " ".join(fmt_counter(k, v) for k, v in sorted(row.counters.items()))
            out.append("| %s | %s | %.1f%% | %s | %s | %s |" % (name, fmt_time(row.ns), row.spread, counters,
                                                             share_of_peak(res, binary, row), row.label))
        out.append("")
    return "\n".join(out)


# ---- running ---------------------------------------------------------------------------

def tool_version(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True, check=False).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "unknown"


def package_version(package):
    try:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True,
                           check=False)
    except OSError:
        return "absent"
    return r.stdout.strip() if r.returncode == 0 and r.stdout.strip() else "absent"


def compiler_of(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    return tool_version([line.split("=", 1)[1].strip(), "--version"])
    except OSError:
        pass
    return tool_version(["c++", "--version"])


def run(args):
    os.makedirs(args.out, exist_ok=True)
    cpu = args.cpu if args.cpu is not None else max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})  # the children inherit the pinning
    env_vars = dict(os.environ, UA_PAGED_PROTECTION="0")
    for binary, path in BINARIES:
        exe = os.path.join(args.build, "bench", path)
        target = os.path.join(args.out, binary + ".json")
        if os.path.exists(target):
            os.remove(target)
        if not os.access(exe, os.X_OK):
            print("%s: not built" % binary, file=sys.stderr)
            continue
        print("running %s" % binary, file=sys.stderr)
        cmd = [exe, "--benchmark_repetitions=%d" % args.repetitions, "--benchmark_out=" + target,
               "--benchmark_out_format=json", "--benchmark_format=console"]
        if args.min_time:
            cmd.append("--benchmark_min_time=%s" % args.min_time)
        if args.filter:
            cmd.append("--benchmark_filter=%s" % args.filter)
        subprocess.run(cmd, env=env_vars, check=False, stdout=subprocess.DEVNULL)
    res = Results.load(args.out)
    ctx = next(iter(res.context.values()), {})
    env = {
        "cpu_model": ctx.get("cpu_model", "unknown"),
        "instruction_sets": ctx.get("instruction_sets", "unknown"),
        "cores": os.cpu_count(),
        "pinned_core": cpu,
        "compiler": compiler_of(args.build),
        "repetitions": args.repetitions,
        "date": ctx.get("date", ""),
        "peers": {p: package_version(p) for p in PEERS},
        "settings": "UA_PAGED_PROTECTION=0 (the driver's own cost, without the verifier's paged-pool protection)",
    }
    with open(os.path.join(args.out, "environment.json"), "w", encoding="utf-8") as f:
        json.dump(env, f, indent=2, sort_keys=True)
    report = render(res, env)
    with open(os.path.join(args.out, "report.md"), "w", encoding="utf-8") as f:
        f.write(report + "\n")
    print(os.path.join(args.out, "report.md"))


def render_dir(directory):
    env = {}
    env_path = os.path.join(directory, "environment.json")
    if os.path.exists(env_path):
        with open(env_path, encoding="utf-8") as f:
            env = json.load(f)
    return render(Results.load(directory), env) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p_run = sub.add_parser("run", help="run the benchmarks and the quality harness, write the report")
    p_run.add_argument("--build", default="build/default")
    p_run.add_argument("--out", default="docs/perf")
    p_run.add_argument("--repetitions", type=int, default=7)
    p_run.add_argument("--cpu", type=int, default=None, help="core to pin to (default: the last allowed)")
    p_run.add_argument("--min-time", default=None, help="passed to --benchmark_min_time (a quick check)")
    p_run.add_argument("--filter", default=None, help="passed to --benchmark_filter")
    p_render = sub.add_parser("render", help="write the report of a recorded run")
    p_render.add_argument("dir")
    p_render.add_argument("--out", default=None)
    args = parser.parse_args(argv)
    if args.command == "run":
        run(args)
        return 0
    report = render_dir(args.dir)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(report)
    else:
        sys.stdout.write(report)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
