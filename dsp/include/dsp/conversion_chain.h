// What the two conversion containers share: the format block, the three resampler
// blocks, the stored formats and the stage chain built from the rate pair.
//
// SetFormat is all or nothing: every check runs before anything changes, and a refused
// pair leaves the container unconfigured (Process refuses to run) rather than running
// the previous configuration on data of the new format.
#pragma once

#include <cstdint>

#include "dsp/dsp_block.h"
#include "dsp/split_block.h"
#include "dsp/wave_format.h"

class CDspConversionChain {
 public:
  CDspConversionChain(const CDspConversionChain&) = delete;
  CDspConversionChain& operator=(const CDspConversionChain&) = delete;

  // Drops every buffered sample and all filter history; the chain and formats stay.
  bool Reset();

  bool IsConfigured() const { return m_InFormat.Format.nSamplesPerSec != 0; }
  // Stage i of the chain (0 the format block), or null.
  CDspBlock* Stage(int i) const { return m_pChain[i]; }
  int StageCount() const;

 protected:
  CDspConversionChain(const char* who, const char* formatBlockName)
      : m_pszWho(who), m_pszFormatBlockName(formatBlockName) {}
  ~CDspConversionChain();

  // Allocates the blocks ("DSPS"); the planar container makes the format block last.
  bool CreateBlocks(bool formatBlockFirst);
  // Checks both formats (messages through DspPrint), then stores them, configures the
  // format block and places the resamplers.
  bool Configure(const dsp::WAVEFORMATEXTENSIBLE* pInFormat, const dsp::WAVEFORMATEXTENSIBLE* pOutFormat,
                 bool printOutputBits);
  void Unconfigure();
  // Moves each output channel's samples through the resampler stages as far as they take
  // them.
  void RunStages();
  CDspBlock* LastStage() const;
  // Frames the last stage can hand out now, lowered to limit.
  std::int32_t Ready(std::int32_t limit) const;
  // Removes n frames from every output channel of the last stage.
  void ConsumeOutput(std::int32_t n);

  const char* m_pszWho;             // "Class::SetFormat" in messages
  const char* m_pszFormatBlockName;  // the format block's member name in messages
  dsp::WAVEFORMATEXTENSIBLE m_InFormat{};
  dsp::WAVEFORMATEXTENSIBLE m_OutFormat{};
  CDspSplitBlock* m_pFormatBlock = nullptr;
  CFirResampler2x* m_p2x = nullptr;
  CFirResampler4x* m_p4x = nullptr;
  CPolyphaseResampler* m_pPolyphase = nullptr;
  CDspBlock* m_pChain[3] = {};
  std::uint8_t m_bInitialised = 0;

 private:
  bool Validate(const dsp::WAVEFORMATEXTENSIBLE& in, const dsp::WAVEFORMATEXTENSIBLE& out,
                bool printOutputBits) const;
  void PlaceStages();
};
