#include "uac/chip_d_effect_controls.h"

#include <new>

#include "adapter/settings.h"
#include "kernel/dbg.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"

namespace uac {

namespace {

// The virtualiser's format until the first stream: stereo float at 44.1 kHz.
constexpr dsp::WAVEFORMATEX kInitialLpvFormat = {WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 176400, 4, 16, 0};
constexpr ULONG kAngleIndex = 3;
constexpr ULONG kFloatBits = 32;

// An object of T in a zeroed block of non-paged pool under the tag, constructed; null
// when the pool fails.
template <class T>
T* NewInPool(ULONG Tag) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), Tag);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(T));
  return new (block) T();
}

template <class T>
void DeleteInPool(T* Object, ULONG Tag) {
  if (!Object) return;
  Object->~T();
  ExFreePoolWithTag(Object, Tag);
}

void DeleteLeveler(CDspLeveler* Leveler) {
  if (!Leveler) return;
  Leveler->FreeBuffers();
  DeleteInPool(Leveler, kChipDEffectTag);
}

// The virtualiser was placed in pool: its (virtual) destructor, then the block.
void DeleteLpv(CLpvEffect* Lpv) { DeleteInPool(Lpv, kChipDEffectTag); }

bool IsFloatSubFormat(const WAVEFORMATEXTENSIBLE& Format) {
  return IsEqualGUID(Format.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

// The same channels and rate as 32-bit float, in the format's own form.
void MakeFloat(WAVEFORMATEXTENSIBLE* Format) {
  WAVEFORMATEX& f = Format->Format;
  if (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (IsFloatSubFormat(*Format)) return;
    Format->Samples.wValidBitsPerSample = kFloatBits;
    Format->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  } else {
    if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return;
    f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  }
  f.wBitsPerSample = kFloatBits;
  f.nBlockAlign = static_cast<WORD>(f.nChannels * (kFloatBits / 8));
  f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
}

}  // namespace

float** AllocateChipDBufferSet() {
  auto** set = static_cast<float**>(ExAllocatePoolWithTag(NonPagedPool, kChipDChannels * sizeof(float*), kChipDBufferTag));
  if (!set) return nullptr;
  RtlZeroMemory(set, kChipDChannels * sizeof(float*));
  for (ULONG c = 0; c < kChipDChannels; ++c) {
    set[c] = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, kChipDChannelBufferBytes, kChipDBufferTag));
    if (!set[c]) {
      FreeChipDBufferSet(set);
      return nullptr;
    }
    // Channels a stream does not fill are read as silence.
    RtlZeroMemory(set[c], kChipDChannelBufferBytes);
  }
  return set;
}

void FreeChipDBufferSet(float** Set) {
  if (!Set) return;
  for (ULONG c = 0; c < kChipDChannels; ++c)
    if (Set[c]) ExFreePoolWithTag(Set[c], kChipDBufferTag);
  ExFreePoolWithTag(Set, kChipDBufferTag);
}

void ClearChipDBufferSet(float** Set) {
  if (!Set) return;
  for (ULONG c = 0; c < kChipDChannels; ++c) RtlZeroMemory(Set[c], kChipDChannelBufferBytes);
}

// ---------------------------------------------------------------------------------------
// Reverb

CChipDReverbEffectControl::CChipDReverbEffectControl(PUNKNOWN outerUnknown, ULONG id)
    : CUacEffectControl(outerUnknown, id), m_ppDry(nullptr), m_ppWet(nullptr), m_pReverb(nullptr) {}

CChipDReverbEffectControl::~CChipDReverbEffectControl() {
  FreeChipDBufferSet(m_ppDry);
  FreeChipDBufferSet(m_ppWet);
  DeleteInPool(m_pReverb, kChipDBufferTag);
}

NTSTATUS CChipDReverbEffectControl::Init(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  m_NodeType = KSNODETYPE_CHIP_D_REVERB;
  const NTSTATUS status = InitUacEffectControl(Unit, Selector, DeviceObject);
  if (!NT_SUCCESS(status)) return status;
  m_ppDry = AllocateChipDBufferSet();
  if (m_ppDry) m_ppWet = AllocateChipDBufferSet();
  if (m_ppWet) m_pReverb = NewInPool<CDspReverb>(kChipDBufferTag);
  if (m_pReverb) {
    m_pReverb->Init();
  } else {
    // The switch still works; the stream passes through without the reverb.
    DbgPrint("CChipDReverbEffectControl::Init: no memory for the reverb of node %u, audio passes through\n",
             static_cast<unsigned>(m_nId));
  }
  return status;
}

STDMETHODIMP CChipDReverbEffectControl::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  m_StreamFormat = *Format;
  if (m_pReverb) {
    const LONG channels = Format->Format.nChannels;
    m_pReverb->SetSampleRate(static_cast<std::int32_t>(Format->Format.nSamplesPerSec), channels - 1);
  }
  // The reverb reads all eight channels: those the new layout does not fill are silence.
  ClearChipDBufferSet(m_ppDry);
  ClearChipDBufferSet(m_ppWet);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Virtualiser

CChipDLpvEffectControl::CChipDLpvEffectControl(PUNKNOWN outerUnknown, ULONG id)
    : CUacEffectControl(outerUnknown, id),
      m_Values{0, 0},
      m_ppDry(nullptr),
      m_ppWet(nullptr),
      m_ppCarry(nullptr),
      m_nWorkLength(0),
      m_pUpSrc(nullptr),
      m_pDownSrc(nullptr),
      m_pWetLeveler(nullptr),
      m_pDryLeveler(nullptr),
      m_pLpv(nullptr),
      m_LpvFormat{},
      m_nEngineRate(0),
      m_EngineFormat{},
      m_StreamFloatFormat{},
      m_SpareFormat{},
      m_nCarryFrames(0) {}

CChipDLpvEffectControl::~CChipDLpvEffectControl() {
  FreeChipDBufferSet(m_ppDry);
  FreeChipDBufferSet(m_ppWet);
  FreeChipDBufferSet(m_ppCarry);
  DeleteInPool(m_pUpSrc, kChipDBufferTag);
  DeleteInPool(m_pDownSrc, kChipDBufferTag);
  DeleteLeveler(m_pWetLeveler);
  DeleteLeveler(m_pDryLeveler);
  DeleteLpv(m_pLpv);
}

NTSTATUS CChipDLpvEffectControl::SavedValue(ULONG Operation, ULONG Index, PULONG Value) {
  if (!m_pDeviceObject) return STATUS_INVALID_PARAMETER;
  WCHAR prefix[SETTINGS_MAX_INDEXED_NAME + 1];
  if (RtlStringCchPrintfW(prefix, 19, u"%s%02d_", u"Unit", static_cast<INT>(m_nId)) != STATUS_SUCCESS)
    return STATUS_INVALID_PARAMETER;
  return SettingsIndexedValue(m_pDeviceObject, Operation, Value, sizeof *Value, prefix, Index);
}

bool CChipDLpvEffectControl::CreateEffects() {
  m_ppDry = AllocateChipDBufferSet();
  if (!m_ppDry) return false;
  m_ppWet = AllocateChipDBufferSet();
  if (!m_ppWet) return false;
  m_ppCarry = AllocateChipDBufferSet();
  if (!m_ppCarry) return false;
  m_nWorkLength = kChipDChannelBufferBytes;

  m_pUpSrc = NewInPool<CDspNonInterleaveSrc>(kChipDBufferTag);
  if (!m_pUpSrc || !m_pUpSrc->Init()) return false;
  m_pDownSrc = NewInPool<CDspNonInterleaveSrc>(kChipDBufferTag);
  if (!m_pDownSrc || !m_pDownSrc->Init()) return false;

  for (CDspLeveler** slot : {&m_pWetLeveler, &m_pDryLeveler}) {
    *slot = NewInPool<CDspLeveler>(kChipDEffectTag);
    CDspLeveler* leveler = *slot;
    if (!leveler) return false;
    leveler->Init();
    if (!leveler->AllocateBuffers()) return false;
    leveler->SetMode(0);
    leveler->SetTargetGain(1.0f);
    leveler->SetMaxGain(1.0f);
  }

  m_pLpv = NewInPool<CLpvEffect>(kChipDEffectTag);
  if (!m_pLpv) return false;
  m_LpvFormat = kInitialLpvFormat;
  m_pLpv->SetFormat(&m_LpvFormat);
  m_pLpv->SetEnable(1);
  m_pLpv->SetCtcEnable(0);
  m_pLpv->SetHeadphoneAngle(kAngleIndex);
  m_pLpv->SetSpeakerAngle(kAngleIndex);
  m_pLpv->SetCtcAngle(0);
  return true;
}

NTSTATUS CChipDLpvEffectControl::Init(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  m_nEffectParameter = kValueCount;
  m_NodeType = KSNODETYPE_CHIP_D_VIRTUALISER;
  const NTSTATUS status = InitUacEffectControl(Unit, Selector, DeviceObject);
  if (!NT_SUCCESS(status)) return status;
  if (!CreateEffects()) {
    // The switch still works; the stream passes through without the virtualiser.
    DbgPrint("CChipDLpvEffectControl::Init: no memory for the virtualiser of node %u, audio passes through\n",
             static_cast<unsigned>(m_nId));
    return status;
  }
  m_Values[kRoom] = m_pLpv->GetHeadphoneRoom();
  m_Values[kWide] = m_pLpv->GetHeadphoneWide();
  ULONG saved = 0;
  // The virtualiser knows rooms 0 to 2 only: any other saved room is ignored.
  if (NT_SUCCESS(SavedValue(SETTINGS_READ, kRoom, &saved)) && saved <= kMaxRoom) m_Values[kRoom] = saved;
  saved = 0;
  if (NT_SUCCESS(SavedValue(SETTINGS_READ, kWide, &saved))) m_Values[kWide] = saved;
  ApplyWide(m_Values[kWide]);
  ApplyRoom(m_Values[kRoom]);
  return status;
}

void CChipDLpvEffectControl::ApplyRoom(ULONG Room) {
  if (!m_pLpv) return;
  if (m_pLpv->IsCtcEnabled()) {
    if (m_pLpv->GetSpeakerRoom() != Room) m_pLpv->SetSpeakerRoom(Room);
  } else if (m_pLpv->GetHeadphoneRoom() != Room) {
    m_pLpv->SetHeadphoneRoom(Room);
  }
}

void CChipDLpvEffectControl::ApplyWide(ULONG Wide) {
  if (!m_pLpv) return;
  const ULONG flag = Wide != 0;
  if (m_pLpv->GetSpeakerWide() != flag) m_pLpv->SetSpeakerWide(flag);
  if (m_pLpv->GetHeadphoneWide() != flag) m_pLpv->SetHeadphoneWide(flag);
}

STDMETHODIMP CChipDLpvEffectControl::GetValues(ULONG First, ULONG Count, PULONG Values) {
  // Checked so that no sum can wrap.
  if (!Values || First >= kValueCount || Count > kValueCount - First) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < Count; ++i) Values[i] = m_Values[First + i];
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipDLpvEffectControl::SetValues(ULONG First, ULONG Count, const ULONG* Values) {
  if (!Values || Count == 0 || First >= kValueCount || Count > kValueCount - First) return STATUS_INVALID_PARAMETER;
  // The caller's values may lie in paged memory: read them before the lock raises IRQL.
  ULONG given[kValueCount] = {};
  for (ULONG i = 0; i < Count; ++i) given[First + i] = Values[i];
  bool accepted[kValueCount] = {};
  bool any = false;
  KLOCK_QUEUE_HANDLE handle;
  bool atDpc = false;
  LockEffect(&handle, &atDpc);
  for (ULONG index = First; index < First + Count; ++index) {
    const ULONG value = given[index];
    if (index == kRoom) {
      if (value != m_Values[kRoom]) {
        if (value > kMaxRoom) continue;
        ApplyRoom(value);
      }
    } else if (value != m_Values[kWide]) {
      ApplyWide(value);
    }
    accepted[index] = true;
    any = true;
  }
  for (ULONG index = 0; index < kValueCount; ++index)
    if (accepted[index]) m_Values[index] = given[index];
  UnlockEffect(&handle, atDpc);
  if (!any) return STATUS_INVALID_PARAMETER;
  for (ULONG index = 0; index < kValueCount; ++index)
    if (accepted[index]) SavedValue(SETTINGS_WRITE, index, &given[index]);
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipDLpvEffectControl::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  m_StreamFormat = *Format;
  m_EngineFormat = *Format;
  m_StreamFloatFormat = *Format;
  m_SpareFormat = *Format;

  const ULONG rate = Format->Format.nSamplesPerSec;
  m_nEngineRate = rate % 1000 != 0 ? 44100 : 48000;
  if (rate != 44100 && rate != 48000) m_EngineFormat.Format.nSamplesPerSec = m_nEngineRate;
  MakeFloat(&m_EngineFormat);
  MakeFloat(&m_StreamFloatFormat);

  const dsp::WAVEFORMATEXTENSIBLE engine = dsp::DspFormatFrom(m_EngineFormat);
  const dsp::WAVEFORMATEXTENSIBLE stream = dsp::DspFormatFrom(m_StreamFloatFormat);
  if (m_pUpSrc) {
    m_pUpSrc->SetFormat(&stream, &engine);
    m_pUpSrc->Reset();
  }
  if (m_pDownSrc) {
    m_pDownSrc->SetFormat(&engine, &stream);
    m_pDownSrc->Reset();
  }
  if (m_pLpv) {
    const WORD channels = Format->Format.nChannels;
    const WORD bits = m_EngineFormat.Format.wBitsPerSample;
    const WORD block = static_cast<WORD>(channels * bits / 8);
    m_LpvFormat = {WAVE_FORMAT_IEEE_FLOAT, channels, m_nEngineRate, block * m_nEngineRate, block, bits, 0};
    m_pLpv->SetFormat(&m_LpvFormat);
  }
  if (m_pWetLeveler) m_pWetLeveler->SetFormat(&engine);
  if (m_pDryLeveler) m_pDryLeveler->SetFormat(&engine);
  // The virtualiser reads all eight channels: those the new layout does not fill are
  // silence, and nothing of the previous stream is carried over.
  ClearChipDBufferSet(m_ppDry);
  ClearChipDBufferSet(m_ppWet);
  ClearChipDBufferSet(m_ppCarry);
  m_nCarryFrames = 0;
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipDLpvEffectControl::ResetState() {
  if (m_pWetLeveler) m_pWetLeveler->ResetState();
  if (m_pDryLeveler) m_pDryLeveler->ResetState();
  return STATUS_SUCCESS;
}

}  // namespace uac
