// Value interfaces of the control nodes: on/off and level controls, the mixer's terminal
// mode, the sample-rate clock and the vendor effect switch. Levels crossing these
// interfaces are signed 16.16 fixed-point decibels (1/65536 dB); 0x80000000 stands for
// minus infinity. Ranges are given as (maximum, minimum, step).
#pragma once

#include "kernel/nt.h"
#include "portcls/ks.h"

namespace uac {

// {8EDE1D42-90E4-4B08-96EF-7CBBC472F9ED}
KS_DEFINE_GUID(IID_IBoolControl, 0x8EDE1D42, 0x90E4, 0x4B08, 0x96, 0xEF, 0x7C, 0xBB, 0xC4, 0x72, 0xF9, 0xED);
// {B0446B44-06EB-403F-8B78-E1E963DEA3CD}
KS_DEFINE_GUID(IID_ILevelControl, 0xB0446B44, 0x06EB, 0x403F, 0x8B, 0x78, 0xE1, 0xE9, 0x63, 0xDE, 0xA3, 0xCD);
// {9E3FB612-FCD2-4C51-88BA-B1BD3734F1B5}
KS_DEFINE_GUID(IID_IMixerNode, 0x9E3FB612, 0xFCD2, 0x4C51, 0x88, 0xBA, 0xB1, 0xBD, 0x37, 0x34, 0xF1, 0xB5);
// {E1A6E8A0-3C43-4950-901B-9E84F6C3C2EC}
KS_DEFINE_GUID(IID_IUacClockSource, 0xE1A6E8A0, 0x3C43, 0x4950, 0x90, 0x1B, 0x9E, 0x84, 0xF6, 0xC3, 0xC2, 0xEC);
// {34480E1C-F752-41EE-81AE-70174C8FB3B3}
KS_DEFINE_GUID(IID_IEffectControl, 0x34480E1C, 0xF752, 0x41EE, 0x81, 0xAE, 0x70, 0x17, 0x4C, 0x8F, 0xB3, 0xB3);

inline constexpr LONG kLevelMinusInfinity = static_cast<LONG>(0x80000000u);

// On/off control, one byte per channel (0 off, non-zero on).
struct IBoolControl : IUnknown {
  STDMETHOD(GetValue)(ULONG Channel, PUCHAR Value) = 0;
  STDMETHOD(SetValue)(ULONG Channel, UCHAR Value) = 0;
  STDMETHOD(GetChannelCount)(PULONG Count) = 0;
  STDMETHOD(InitChannels)(ULONG SourceId, ULONG Count) = 0;
};
using PBOOLCONTROL = IBoolControl*;

// Ranged level control.
struct ILevelControl : IUnknown {
  STDMETHOD(GetLevel)(ULONG Channel, PLONG Level) = 0;
  STDMETHOD(SetLevel)(ULONG Channel, LONG Level) = 0;
  STDMETHOD(GetRange)(PLONG Maximum, PLONG Minimum, PLONG Step) = 0;
  STDMETHOD(GetChannelCount)(PULONG Count) = 0;
  STDMETHOD(InitChannels)(ULONG SourceId, ULONG Count, LONG Maximum, LONG Minimum, LONG Step) = 0;
};
using PLEVELCONTROL = ILevelControl*;

// A mixer that can stand as a source terminal of a capture path ("StereoMix").
struct IMixerNode : IUnknown {
  STDMETHOD(SetTerminalMode)(UCHAR On) = 0;
};
using PMIXERNODE = IMixerNode*;

// Sampling rates of a clock, in Hz.
struct IUacClockSource : IUnknown {
  // *Count in: entries of Rates; out: the rates copied.
  STDMETHOD(GetRates)(PULONG Count, PULONG Rates) = 0;
  STDMETHOD(GetRateCount)(PULONG Count) = 0;
  STDMETHOD(SetCurrentRate)(ULONG Rate) = 0;
  STDMETHOD(GetCurrentRate)(PULONG Rate) = 0;
  STDMETHOD(IsValid)(PUCHAR Valid) = 0;
  STDMETHOD(SetRates)(ULONG Count, const ULONG* Rates) = 0;
};
using PUACCLOCKSOURCE = IUacClockSource*;

// A vendor effect switch; the chip-specific effects add a table of parameter values.
struct IEffectControl : IUnknown {
  STDMETHOD(GetEffectNodeType)(GUID* NodeType) = 0;
  STDMETHOD(SetValue)(UCHAR Value) = 0;
  STDMETHOD(GetValue)(PUCHAR Value) = 0;
  STDMETHOD(GetEffectParameter)(PULONG Parameter) = 0;
  STDMETHOD(GetValues)(ULONG First, ULONG Count, PULONG Values) = 0;
  STDMETHOD(SetValues)(ULONG First, ULONG Count, const ULONG* Values) = 0;
  STDMETHOD(GetValueEntry)(ULONG Index, PULONG Entry) = 0;  // three u32 fields
  STDMETHOD(InitEffectSource)(ULONG SourceId) = 0;
};
using PEFFECTCONTROL = IEffectControl*;

}  // namespace uac
