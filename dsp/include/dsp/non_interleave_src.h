// Conversion container for planar audio (one array per channel), used in pairs by the
// headphone-virtualiser control to take a stream to its processing rate and back.
// Formats identical in all 40 bytes give a chain without stages: Process then copies.
#pragma once

#include <cstdint>

#include "dsp/conversion_chain.h"

class CDspNonInterleaveSrc : public CDspConversionChain {
 public:
  CDspNonInterleaveSrc() : CDspConversionChain("CDspNonInterleaveSrc::SetFormat", "m_pBitDepthConvert") {}

  // Creates the resampler blocks, then the format block ("DSPS").
  bool Init();
  // As the interleaved container; the channel counts must be equal too.
  bool SetFormat(const dsp::WAVEFORMATEXTENSIBLE* pInFormat, const dsp::WAVEFORMATEXTENSIBLE* pOutFormat);
  // Channel arrays hold samples of their format's encoding. While the last stage still
  // holds frames a call only drains them (consuming no input). False, counts unchanged,
  // when not configured.
  bool Process(float* const* ppInput, std::int32_t* pInFrames, float* const* ppOutput, std::int32_t* pOutFrames);

 private:
  void ConvertOut(std::uint8_t* const* ppOutput, std::int32_t count);
  bool m_bPassThrough = false;
};

// Drives the container over a whole input block into the output channel buffers.
// outputBufferBytes is the size of each output channel buffer. Output written earlier in
// the call is never overwritten: when the buffers are full while input remains, the call
// stops with STATUS_BUFFER_OVERFLOW (*pProduced frames written). STATUS_INVALID_PARAMETER
// for a zero frame count or buffer size, a buffer smaller than one frame, or a missing
// argument; STATUS_UNSUCCESSFUL when the container is not configured or makes no progress.
dsp::NTSTATUS ProcessPlanarBlocks(CDspNonInterleaveSrc* pSrc, std::uint32_t inFrames, std::uint32_t* pProduced,
                                  const dsp::WAVEFORMATEXTENSIBLE* pInFormat,
                                  const dsp::WAVEFORMATEXTENSIBLE* pOutFormat, float* const* ppInput,
                                  float* const* ppOutput, std::uint32_t outputBufferBytes, std::uint32_t reset);
