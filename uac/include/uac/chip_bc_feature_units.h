// The feature units of chip classes B and C. Their devices count volume in scales of their
// own: each unit class translates between node levels (1/65536 dB) and its device's
// values, and reports a fixed range once the device has answered the range requests.
//
// All of them share one frame (CChipFeatureUnit): mute is required; on/off controls
// (mute, AGC, loudness) are master-only, addressed on channel 0; a level control's node
// channels are the logical channels that have it (or the master alone), and a node channel
// reaches exactly that device channel, never another one.
//
// Units 9, 10 and 13 of each chip get classes of their own; the function builders choose
// them by bUnitID (chip_bc_function.h).
#pragma once

#include "uac/feature_unit.h"

namespace adapter {
class CAudioHal;
}

namespace uac {

inline constexpr ULONG kChipBTag = MakePoolTag('7', '4', '0', '3');
inline constexpr ULONG kChipCTag = MakePoolTag('7', '4', '1', '5');
// The control nodes both chips' feature units create.
inline constexpr ULONG kChipNodeTag = MakePoolTag('3', '0', '4', '7');

// How a unit class treats its tone controls (bass, mid, treble).
enum class ChipToneForm : UCHAR {
  // One signed byte in 1/4 dB both ways (byte x 16384 and back), the range as the device
  // answers it: chip B, as the UAC 1.0 feature unit.
  Byte,
  // Two bytes through the unit's volume translation, with its fixed range: chip C.
  LikeVolume,
  // Read as one signed byte (x 16384), written and ranged like volume: chip C unit 10.
  ByteReadLikeVolume,
};

// How one unit class reads, writes and ranges its levels. Device values are the signed
// 16-bit wire values; 0x8000 and minus infinity translate into each other before these are
// asked.
struct ChipLevelScale {
  ChipToneForm Tone;
  LONG (*Read)(LONG DeviceValue);
  // A device value, computed without overflow; the caller saturates it to 16 bits.
  LONGLONG (*Write)(LONG Level);
  LONG Maximum, Minimum, Step;
};

class CChipFeatureUnit : public CUacFeatureUnit {
 public:
  // `scale`: the class's translation; `function`: the owning function, kept by the units
  // that need it (not referenced: the function owns the unit).
  CChipFeatureUnit(PUNKNOWN outerUnknown, ULONG id, const ChipLevelScale& scale);

  // Refuses a missing descriptor, device or function and a descriptor that is not a
  // feature unit; refuses bControlSize 0 before any entry is read; then the common unit
  // set-up, the control nodes (mute required) and their chain.
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;

  // IUacBoolControlSource: channel 0 only.
  STDMETHODIMP GetCur(ULONG Selector, ULONG Channel, PUCHAR Value) override;
  STDMETHODIMP SetCur(ULONG Selector, ULONG Channel, UCHAR Value) override;
  // On/off selectors: always 1 (master-only). Level selectors: the logical channels that
  // have the control, else 1 when the master has it, else STATUS_UNSUCCESSFUL with 0.
  STDMETHODIMP GetChannelCount(ULONG Selector, PULONG Count) override;
  STDMETHODIMP CreateControls(adapter::CAudioHal* Function) override;
  // IUacLevelControlSource
  STDMETHODIMP GetCur(ULONG Selector, ULONG Channel, PLONG Level) override;
  STDMETHODIMP SetCur(ULONG Selector, ULONG Channel, LONG Level) override;
  // The range requests go to the first logical channel that has the control (else the
  // master) and must all succeed; the result is the class's fixed range (tone in the
  // signed-byte form: what the device answered).
  STDMETHODIMP GetRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Step) override;

  bool HasControl(ULONG Selector) const override;
  // bmaControls entries, master included: (bLength - 7) / bControlSize (the byte after
  // the entries is iFeature, not a channel).
  ULONG EntryCount() const;
  adapter::CAudioHal* Function() const { return m_pFunction; }

 protected:
  bool HasControlOn(ULONG Selector, ULONG DeviceChannel) const;
  // Node channel to device channel: below the count, logical channel index + 1 when
  // several have the control, else the master; the control must be on that channel.
  NTSTATUS DeviceChannel(ULONG Selector, ULONG Channel, PULONG Device);
  NTSTATUS Request(UCHAR Code, ULONG Selector, ULONG DeviceChannel, bool Read, PUCHAR Buffer, ULONG Length);

  const ChipLevelScale& m_Scale;
  adapter::CAudioHal* m_pFunction;
};

// The classes, one per unit and chip: each is the frame with its translation.
template <const ChipLevelScale& (*Scale)()>
class CChipFeatureUnitOf : public CChipFeatureUnit {
 public:
  CChipFeatureUnitOf(PUNKNOWN outerUnknown, ULONG id) : CChipFeatureUnit(outerUnknown, id, Scale()) {}
};

const ChipLevelScale& ChipBUnit9Scale();
const ChipLevelScale& ChipBUnit10Scale();
const ChipLevelScale& ChipBUnit13Scale();
const ChipLevelScale& ChipCUnit9Scale();
const ChipLevelScale& ChipCUnit10Scale();
const ChipLevelScale& ChipCUnit13Scale();

using CChipBFeatureUnit9 = CChipFeatureUnitOf<&ChipBUnit9Scale>;
using CChipBFeatureUnit10 = CChipFeatureUnitOf<&ChipBUnit10Scale>;
using CChipBFeatureUnit13 = CChipFeatureUnitOf<&ChipBUnit13Scale>;
using CChipCFeatureUnit9 = CChipFeatureUnitOf<&ChipCUnit9Scale>;
using CChipCFeatureUnit10 = CChipFeatureUnitOf<&ChipCUnit10Scale>;
using CChipCFeatureUnit13 = CChipFeatureUnitOf<&ChipCUnit13Scale>;

// Creates the chip class's feature unit for a bUnitID (9, 10 and 13 for both chips, 11
// and 12 as unit 10 and 14 as unit 13 on chip B) under the chip's tag; false when the
// identifier has no chip class (the caller makes a UAC 1.0 feature unit).
bool CreateChipBFeatureUnit(UCHAR UnitId, NTSTATUS* Status, CUacUnit** Unit);
bool CreateChipCFeatureUnit(UCHAR UnitId, NTSTATUS* Status, CUacUnit** Unit);

}  // namespace uac
