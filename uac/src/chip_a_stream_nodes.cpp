#include "adapter/object_model.h"
#include "uac/chip_a_stream_nodes.h"
#include "uac/chip_a_trim.h"
#include "uac/software_nodes.h"

namespace uac {
namespace {

constexpr ULONG kSwapChannels = 8;

}  // namespace

STDMETHODIMP CChipAGainNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<adapter::IDspNode>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CChipAGainNode::ResetMode() { return SetMode(CHIPA_GAIN_PASS); }

NTSTATUS CChipAGainNode::SetMode(ULONG Mode) {
  __atomic_store_n(&m_nMode, Mode, __ATOMIC_RELEASE);
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipAGainNode::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  if (!Format || !Data || adapter::DspFormatTag(Format) != WAVE_FORMAT_PCM) return STATUS_SUCCESS;
  // One read: the whole buffer goes by the same mode, whatever the worker stores meanwhile.
  const ULONG mode = GetMode();
  if (mode == CHIPA_GAIN_SILENCE) {
    SilenceStreamBuffer(Format, Data, Frames);
  } else if (mode == CHIPA_GAIN_QUARTER) {
    float gains[adapter::kStreamChannelBuffers];
    for (float& g : gains) g = kChipAQuarterGain;
    ScalePlanarChannels(Format, Data, Frames, gains, adapter::kStreamChannelBuffers);
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipAChannelSwapNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<adapter::IDspNode>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CChipAChannelSwapNode::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG) {
  if (!Format || !Data || adapter::DspFormatTag(Format) != WAVE_FORMAT_PCM || Format->Format.nChannels != kSwapChannels)
    return STATUS_SUCCESS;
  auto** channels = static_cast<float**>(Data);
  float* t = channels[4];
  channels[4] = channels[6];
  channels[6] = t;
  t = channels[5];
  channels[5] = channels[7];
  channels[7] = t;
  return STATUS_SUCCESS;
}

NTSTATUS CreateChipAGainNode(CChipAGainNode** Node) {
  return adapter::CreateInstance<CChipAGainNode, CChipAGainNode>(Node, nullptr, NonPagedPool, kChipATag);
}

NTSTATUS CreateChipAChannelSwapNode(adapter::IDspNode** Node) {
  return adapter::CreateInstance<CChipAChannelSwapNode, adapter::IDspNode>(Node, nullptr, NonPagedPool, kChipATag);
}

}  // namespace uac
