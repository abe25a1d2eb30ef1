// Control nodes the driver applies to the audio itself rather than sending to the device:
// the software mute inserted on short stream paths, and the shared loops every processing
// node runs over a stream buffer. Each such node is an ordinary control node that also
// answers IDspNode, so the stream engine that has it on its path processes its buffers
// through it.
#pragma once

#include "adapter/dsp_node.h"
#include "uac/control_nodes.h"

namespace uac {

// The value bytes of the software mute.
inline constexpr ULONG kSoftwareMutePoolTag = MakePoolTag('D', 'S', 'P', 's');

// Silences a buffer as Process receives it: every planar channel of a PCM stream, or the
// whole interleaved buffer of any other format.
void SilenceStreamBuffer(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames);
// Multiplies the first `Count` planar channels of a PCM stream by their gains; channels
// past `Count` and buffers of other formats are left as they are.
void ScalePlanarChannels(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames, const float* Gains,
                         ULONG Count);

// A mute the device lacks: one channel whose value lives only in the cache (set through
// IBoolControl by the topology filter); while it is on, every buffer is silenced.
class CSoftwareMuteNode : public adapter::IDspNode, public CBoolControl {
 public:
  CSoftwareMuteNode(PUNKNOWN outerUnknown, ULONG id) : CBoolControl(outerUnknown, id, adapter::NODE_MUTE) {}
  ~CSoftwareMuteNode() override;

  DECLARE_STD_UNKNOWN();

  // A count of 1 only (else STATUS_INSUFFICIENT_RESOURCES): two value bytes, off.
  STDMETHODIMP InitChannels(ULONG SourceId, ULONG Count) override;

  // IDspNode
  STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }
};

// The factory: zeroed non-paged pool under `Tag`, one reference through IUacEntity.
NTSTATUS CreateSoftwareMuteNode(adapter::IUacEntity** Node, ULONG Id, ULONG Tag);

}  // namespace uac
