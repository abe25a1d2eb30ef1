// Channel-count changes of planar float audio used around the virtualiser engine.
// Input and output arrays may be the same array (processing in place).
#pragma once

#include <cstdint>

// For every output channel c < nOut: a copy of input channel c when c < nIn (nothing
// when both pointers are the same), otherwise silence. Nothing happens for len below 1.
void CopyChannels(float* const* out, std::int32_t nOut, float* const* in, std::int32_t nIn, std::int32_t len);

// The engine's plain fold-down, used while virtualisation is off:
//   1 input:  channel 0 copied to output 0, nothing else;
//   2 inputs: CopyChannels of (at most) two channels;
//   nOut other than 2: CopyChannels;
//   otherwise, with g = 1 / divisor (a divisor of 0 is taken as 1),
//     left  = (in0 + 0.707 in2 + in3 + in4) g  [+ g in6 with 8 inputs]
//     right = (in1 + 0.707 in2 + in3 + in5) g  [+ g in7 with 8 inputs].
// 0.707 is that decimal as a float, not 1/sqrt(2). Inputs that the count does not supply
// (channels 3 to 5 of a 3- to 5-channel set) are silent; counts above 8 are taken as 8.
void FoldDownChannels(float* const* out, std::int32_t nOut, float* const* in, std::int32_t nIn, std::int32_t len,
                      float divisor);
