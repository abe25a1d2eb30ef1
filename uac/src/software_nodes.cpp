#include "uac/software_nodes.h"

#include <climits>

#include "adapter/object_model.h"
#include "uac/bound_nodes.h"
#include "sp/sp.h"

namespace uac {
namespace {

// The primitives count in int: longer buffers go in pieces.
constexpr ULONG kMaxPiece = INT_MAX;

void ZeroFloats(float* data, ULONG frames) {
  while (frames) {
    const ULONG piece = frames < kMaxPiece ? frames : kMaxPiece;
    spZero_32f(data, static_cast<int>(piece));
    data += piece;
    frames -= piece;
  }
}

void ScaleFloats(float gain, float* data, ULONG frames) {
  while (frames) {
    const ULONG piece = frames < kMaxPiece ? frames : kMaxPiece;
    spMulConstInPlace_32f(gain, data, static_cast<int>(piece));
    data += piece;
    frames -= piece;
  }
}

}  // namespace

void SilenceStreamBuffer(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  if (!Format || !Data) return;
  if (adapter::DspFormatTag(Format) == WAVE_FORMAT_PCM) {
    auto** channels = static_cast<float**>(Data);
    for (ULONG c = 0; c < Format->Format.nChannels; ++c)
      if (channels[c]) ZeroFloats(channels[c], Frames);
    return;
  }
  RtlZeroMemory(Data, SIZE_T{Format->Format.nBlockAlign} * Frames);
}

void ScalePlanarChannels(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames, const float* Gains,
                         ULONG Count) {
  if (!Format || !Data || !Gains || adapter::DspFormatTag(Format) != WAVE_FORMAT_PCM) return;
  auto** channels = static_cast<float**>(Data);
  const ULONG n = Format->Format.nChannels < Count ? Format->Format.nChannels : Count;
  for (ULONG c = 0; c < n; ++c)
    if (channels[c]) ScaleFloats(Gains[c], channels[c], Frames);
}

// ---------------------------------------------------------------------------------------

CSoftwareMuteNode::~CSoftwareMuteNode() {
  // The value bytes carry this node's own tag; the base would free them under its tag.
  if (m_pValues) ExFreePoolWithTag(m_pValues, kSoftwareMutePoolTag);
  m_pValues = nullptr;
}

STDMETHODIMP CSoftwareMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = CBoolControl::NonDelegatingQueryInterface(iid, object);
  if (NT_SUCCESS(status) || !object) return status;
  if (IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<adapter::IDspNode>(this, object);
  return status;
}

STDMETHODIMP CSoftwareMuteNode::InitChannels(ULONG SourceId, ULONG Count) {
  if (Count != 1) return STATUS_INSUFFICIENT_RESOURCES;
  auto* values = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 2, kSoftwareMutePoolTag));
  if (!values) return STATUS_INSUFFICIENT_RESOURCES;
  values[0] = 0;
  values[1] = 0;
  NTSTATUS status = SetSources(1, &SourceId);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(values, kSoftwareMutePoolTag);
    return status;
  }
  if (m_pValues) ExFreePoolWithTag(m_pValues, kSoftwareMutePoolTag);
  m_pValues = values;
  m_nChannels = Count;
  return STATUS_SUCCESS;
}

STDMETHODIMP CSoftwareMuteNode::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  if (m_pValues && m_pValues[0]) SilenceStreamBuffer(Format, Data, Frames);
  return STATUS_SUCCESS;
}

NTSTATUS CreateSoftwareMuteNode(adapter::IUacEntity** Node, ULONG Id, ULONG Tag) {
  return adapter::CreateInstance<CSoftwareMuteNode, adapter::IUacEntity>(Node, nullptr, NonPagedPool, Tag, Id);
}

// ---------------------------------------------------------------------------------------
// The vendor volume's processing: its gain table holds one gain per node channel (and a
// spare); a stream wider than the node passes its extra channels unchanged.

STDMETHODIMP CUacVendorVolumeControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  if (m_nLink[0] != m_nLink[1] || !m_pGains) return STATUS_SUCCESS;
  ScalePlanarChannels(Format, Data, Frames, m_pGains, m_nChannels);
  return STATUS_SUCCESS;
}

}  // namespace uac
