#include "stream/chip_a_render_stream.h"

#include "adapter/endpoint_type.h"
#include "uac/chip_a_function.h"

namespace stream {
namespace {

// The formats the engine announces by output kind. All are 16-bit stereo; the AC-3
// formats are IEC 61937 bursts in 16-bit stereo frames. Each is a whole extensible
// format (22 extra bytes), so a client can open it and the engine can find it again.
WAVEFORMATEXTENSIBLE ChipAFormat(ULONG Rate, USHORT Tag) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = 2;
  f.Format.nSamplesPerSec = Rate;
  f.Format.nAvgBytesPerSec = Rate * 4;
  f.Format.nBlockAlign = 4;
  f.Format.wBitsPerSample = 16;
  f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = Tag == WAVE_FORMAT_PCM ? KSAUDIO_SPEAKER_STEREO : 0;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.SubFormat.Data1 = Tag;
  return f;
}

constexpr ULONG kHighRate = 96000;
constexpr ULONG kAc3Rates[] = {44100, 48000, 96000};

// The same format for the engine's look-ups: equal tag, rate, channels and sample size.
bool SameChipAFormat(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b) {
  return ChipAFormatTag(a) == ChipAFormatTag(b) && a.Format.nSamplesPerSec == b.Format.nSamplesPerSec &&
         a.Format.nChannels == b.Format.nChannels && a.Format.wBitsPerSample == b.Format.wBitsPerSample;
}

// Takes the copies matching the rule out of a format list and frees them (under the
// list lock, held by the caller).
template <class Match>
void RemoveFromList(adapter::CPtrList* List, Match matches) {
  if (!List) return;
  adapter::POSITION position = List->GetHeadPosition();
  while (position) {
    const adapter::POSITION current = position;
    PVOID data = nullptr;
    if (!List->GetNext(&position, &data)) break;
    auto* format = static_cast<PWAVEFORMATEXTENSIBLE>(data);
    if (!matches(*format)) continue;
    List->RemoveAt(current);
    ExFreePoolWithTag(format, adapter::kStreamEnginePoolTag);
  }
}

}  // namespace

USHORT ChipAFormatTag(const WAVEFORMATEXTENSIBLE& Format) {
  if (Format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return static_cast<USHORT>(Format.SubFormat.Data1);
  return Format.Format.wFormatTag;
}

CChipARenderStream::CChipARenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUac1RenderStream(outerUnknown, interfaceNumber, terminalNodeId), m_pChipFunction(nullptr), m_bFormatsKept(false) {
  m_nMsPerUrb = kDefaultMsPerUrb;
}

NTSTATUS CChipARenderStream::Init(ULONG Direction, adapter::IAudioHal* Owner, uac::CChipAFunction* Function) {
  const NTSTATUS status = CUsbStreamEngine::Init(Direction, Owner);
  if (NT_SUCCESS(status)) m_pChipFunction = Function;
  return status;
}

bool CChipARenderStream::IsFormatInUseLocked(const WAVEFORMATEXTENSIBLE& Format) const {
  for (adapter::CClientList* list : {m_pRegisteredList, m_pPreparedList}) {
    if (!list) continue;
    adapter::POSITION position = list->GetHeadPosition();
    PVOID data = nullptr;
    while (list->GetNext(&position, &data)) {
      if (SameChipAFormat(static_cast<PSTREAMCLIENTRECORD>(data)->Format, Format)) return true;
    }
  }
  return false;
}

void CChipARenderStream::RemoveFormats(USHORT Tag, ULONG Rate) {
  // A client's format stays while the client is attached (registered or prepared; a
  // running client is prepared too): it plays in it, or may prepare and restart in it.
  // It goes at a later naming, or when that client has left.
  auto matches = [this, Tag, Rate](const WAVEFORMATEXTENSIBLE& f) {
    if (ChipAFormatTag(f) != Tag || (Rate != 0 && f.Format.nSamplesPerSec != Rate)) return false;
    if (!IsFormatInUseLocked(f)) return true;
    m_bFormatsKept = true;
    return false;
  };
  // The format copies under the list lock, which FindFormat takes; the records (paged)
  // under the engine mutex alone, which the caller holds, as every look-up of them does.
  const KIRQL irql = LockLists();
  RemoveFromList(m_pFormatList, matches);
  RemoveFromList(m_pStereoFormatList, matches);
  UnlockLists(irql);
  PLIST_ENTRY entry = m_FormatRecords.Flink;
  while (entry != &m_FormatRecords) {
    PLIST_ENTRY following = entry->Flink;
    auto* record = CONTAINING_RECORD(entry, StreamFormatRecord, Links);
    if (matches(record->Format)) {
      RemoveEntryList(entry);
      ExFreePoolWithTag(record, kUsbStreamPoolTag);
    }
    entry = following;
  }
}

void CChipARenderStream::AddMissingFormat(ULONG Rate, USHORT Tag, UCHAR AlternateSetting) {
  WAVEFORMATEXTENSIBLE f = ChipAFormat(Rate, Tag);
  // A format kept for a client is there already.
  if (NT_SUCCESS(FindFormat(&f.Format))) return;
  AddStreamFormat(&f, AlternateSetting);
}

void CChipARenderStream::UpdateKindFormats() {
  const ULONG type = GetEndpointType();
  if (type != adapter::ENDPOINT_SPK && type != adapter::ENDPOINT_HP && type != adapter::ENDPOINT_SPDIF) return;
  m_bFormatsKept = false;
  // The removals first: a second naming starts from the same lists.
  RemoveFormats(kChipAAc3Tag, 0);
  RemoveFormats(WAVE_FORMAT_PCM, kHighRate);
  // Adding can run out of memory; the name stands either way and the lists keep what was
  // added.
  if (type == adapter::ENDPOINT_SPDIF) {
    for (ULONG rate : kAc3Rates) AddMissingFormat(rate, kChipAAc3Tag, rate == kHighRate ? kChipAHighRateAlt : kChipACompressedAlt);
  }
  if (type == adapter::ENDPOINT_HP || type == adapter::ENDPOINT_SPDIF) AddMissingFormat(kHighRate, WAVE_FORMAT_PCM, kChipAHighRateAlt);
}

STDMETHODIMP CChipARenderStream::SetName(PCWSTR Name) {
  NTSTATUS status = CStreamEngine::SetName(Name);
  if (!NT_SUCCESS(status)) return status;
  // A kind switch renames the engine while clients may come and go: under the engine
  // mutex, which every client operation holds.
  m_EngineMutex.Lock();
  UpdateKindFormats();
  m_EngineMutex.Unlock();
  return status;
}

STDMETHODIMP CChipARenderStream::UnregisterClient(ULONGLONG Key) {
  m_EngineMutex.Lock();
  const NTSTATUS status = CUac1RenderStream::UnregisterClient(Key);
  // The formats a client kept past a kind switch go once it has left.
  if (NT_SUCCESS(status) && m_bFormatsKept) UpdateKindFormats();
  m_EngineMutex.Unlock();
  return status;
}

void CChipARenderStream::ProgramRegisters(const WAVEFORMATEXTENSIBLE& Format) {
  if (!m_pChipFunction) return;
  switch (Format.Format.nSamplesPerSec) {
    case 44100: m_pChipFunction->WriteChipRegister(kChipARateRegister, kChipARate44100, kChipARateMask); break;
    case 48000: m_pChipFunction->WriteChipRegister(kChipARateRegister, kChipARate48000, kChipARateMask); break;
    case 96000: m_pChipFunction->WriteChipRegister(kChipARateRegister, kChipARate96000, kChipARateMask); break;
    default: break;  // the chip keeps its rate bits
  }
  const USHORT kind = ChipAFormatTag(Format) == WAVE_FORMAT_PCM ? 0 : kChipADataKindCompressed;
  m_pChipFunction->WriteChipRegister(kChipARateRegister, kind, kChipADataKindMask);
}

STDMETHODIMP CChipARenderStream::SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) {
  const NTSTATUS status = CUac1RenderStream::SelectAltSetting(AlternateSetting, Record);
  // The chip's writes do not decide the selection.
  if (NT_SUCCESS(status) && Record && AlternateSetting != 0) ProgramRegisters(Record->Format);
  return status;
}

}  // namespace stream
