// A processing node for tests of the stream engines' processing hooks: a real
// reference-counted IDspNode that multiplies planar float channels by a gain, records
// what the engine hands it (frame counts, data, the floating-point control word it runs
// under, SetFormat and Reset calls) and can be told to fail.
#pragma once

#include <xmmintrin.h>

#include <vector>

#include "adapter/dsp_node.h"
#include "adapter/object_model.h"

namespace platform::testing {

inline constexpr ULONG kTestDspNodeTag = MakePoolTag('T', 'd', 's', 'p');

class CTestDspNode : public adapter::IDspNode, public CUnknown {
 public:
  CTestDspNode(PUNKNOWN outer, float gain) : CUnknown(outer), gain(gain) {}

  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<IDspNode>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }

  STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* format) override {
    formats.push_back(*format);
    return setFormatStatus;
  }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override {
    frameCounts.push_back(frames);
    dataSeen.push_back(data);
    mxcsrSeen.push_back(_mm_getcsr());
    if (!NT_SUCCESS(processStatus)) return processStatus;
    if (adapter::DspFormatTag(format) == WAVE_FORMAT_PCM) {
      auto** channels = static_cast<float**>(data);
      for (ULONG c = 0; c < format->Format.nChannels; ++c) {
        for (ULONG i = 0; i < frames; ++i) channels[c][i] *= gain;
      }
    }
    return STATUS_SUCCESS;
  }
  STDMETHODIMP Reset() override {
    ++resets;
    return resetStatus;
  }

  LONG References() const { return m_lRefCount; }

  float gain;
  NTSTATUS processStatus = STATUS_SUCCESS;
  NTSTATUS resetStatus = STATUS_SUCCESS;
  NTSTATUS setFormatStatus = STATUS_SUCCESS;
  ULONG resets = 0;
  std::vector<ULONG> frameCounts;
  std::vector<PVOID> dataSeen;
  std::vector<unsigned> mxcsrSeen;
  std::vector<WAVEFORMATEXTENSIBLE> formats;
};

// A node with one reference, held by the caller.
inline CTestDspNode* NewTestDspNode(float gain = 1.0f) {
  adapter::IDspNode* node = nullptr;
  adapter::CreateInstance<CTestDspNode>(&node, nullptr, NonPagedPool, kTestDspNodeTag, gain);
  return static_cast<CTestDspNode*>(node);
}

}  // namespace platform::testing
