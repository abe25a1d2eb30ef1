// The quality harness's measures: what each speed in the performance report buys. Tone
// fits for a resampler's THD+N, images, passband ripple and stopband, the reverb's decay
// time, the headphone convolver's error against a direct convolution, and each processor
// build's largest error against a double-precision oracle. The peers' converters are
// plugged in by the harness binary; the bounds test runs the same measures on ours.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quality {

struct ToneFit {
  double amplitude;
  double residualDb;  // what the tone leaves, relative to the tone's RMS
  std::vector<double> residual;
};

// Least-squares fit of DC and a sine of frequency F (Hz) at sample rate Fs.
ToneFit FitTone(const std::vector<double>& y, double fs, double f);

// A mono converter: a whole signal at the input rate in, the signal at the output rate
// out (its start-up included; the measures drop the edges).
using Converter = std::function<std::vector<double>(const std::vector<float>&)>;

struct ResamplerFigures {
  double thdNoiseDb;  // worst THD+N over tones of 100 Hz to 15 kHz at half scale
  double imageDb;     // worst image or alias of those tones, relative to the tone
  double rippleDb;    // max - min gain over tones of 20 Hz to 20 kHz
  double stopbandDb;  // worst level of a tone past both Nyquist rates, relative to the tone
};

// The conversion of Convert between the two rates (44100 and 48000 in either direction).
ResamplerFigures MeasureResampler(const Converter& convert, int inRate, int outRate);

// The product's float container (CDspNonInterleaveSrc), one channel.
Converter OurResampler(int inRate, int outRate);

// Reverberation time (T60, seconds) of the reverb at Rate on 8 channels, from the slope of
// the Schroeder energy-decay curve between -5 and -25 dB of its impulse response; *Mode
// receives the network's mode.
double ReverbDecaySeconds(int rate, int* mode);

// Worst relative RMS error, over both ears, of the headphone convolver (2 and 8 inputs,
// room 3 code 24, random filters) against a double-precision direct convolution, in the
// FFT build of DispatchIndex.
double ConvolverRelativeRmsError(int dispatchIndex);

// One primitive in one build against its double-precision oracle.
struct BuildError {
  std::string primitive;  // "fft complex 2^10", "fir 101 taps", "iir order 8"
  std::string build;      // "generic", "sse3", "ssse3", "sse41"
  double error;           // as the primitive's own tests measure it (see the .cpp)
  double bound;           // the bound those tests enforce
};

// Every build this processor runs.
std::vector<BuildError> BuildErrors();

}  // namespace quality
