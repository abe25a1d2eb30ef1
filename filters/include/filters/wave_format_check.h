// The wave pin's data formats: where the wave format sits in a KS data format, which
// layouts and sizes are taken, and the signal-processing mode a format's attributes ask
// for. The miniport checks a format once here (at NewStream, SetFormat and the stream's
// Init); what passes is a 40-byte WAVEFORMATEXTENSIBLE the engine plays.
#pragma once

#include "adapter/stream_engine.h"
#include "kernel/nt.h"
#include "portcls/ks.h"
#include "portcls/ksmedia.h"

namespace filters {

// FormatSize values of the three layouts: a WAVEFORMATEX after the KSDATAFORMAT (82), the
// DirectSound buffer description (90, its WAVEFORMATEX at byte 72) and a
// WAVEFORMATEXTENSIBLE (104). With attributes the first two are taken up to the next
// multiple of 8 (88, 96).
inline constexpr ULONG kWaveFormatExSize = 82;
inline constexpr ULONG kDsoundFormatSize = 90;
inline constexpr ULONG kExtensibleFormatSize = 104;
inline constexpr ULONG kWaveFormatExAttributedSize = 88;
inline constexpr ULONG kDsoundAttributedSize = 96;
inline constexpr ULONG kWaveFormatOffset = 64;
inline constexpr ULONG kDsoundWaveFormatOffset = 72;
// The extra bytes a WAVEFORMATEXTENSIBLE carries after its WAVEFORMATEX.
inline constexpr USHORT kExtensibleExtraBytes = 22;
// A format's byte rate is counted per millisecond: below 1,000 bytes a second (and
// without a frame size) it cannot be streamed.
inline constexpr ULONG kMinBytesPerSecond = 1000;

// Copies the wave format of a data format into *Format (zeroed first), checking the
// layout: present, FormatSize at least 82 and one of the accepted sizes, major format
// audio; cbSize at most 22, 0 in the layouts that leave no room after the WAVEFORMATEX,
// and covered by FormatSize. Every refusal is STATUS_INVALID_PARAMETER.
NTSTATUS ReadWaveFormat(const KSDATAFORMAT* DataFormat, WAVEFORMATEXTENSIBLE* Format);

// ReadWaveFormat, then the engine's FindFormat must take the format (its refusal becomes
// STATUS_INVALID_PARAMETER); a plain WAVEFORMATEX comes back completed from the engine's
// entry. A format without a frame size or under kMinBytesPerSecond is refused too.
NTSTATUS ValidateWaveFormat(const KSDATAFORMAT* DataFormat, adapter::IStreamEngine* Engine,
                            WAVEFORMATEXTENSIBLE* Format);

// The format the engine plays for *Format, as a whole WAVEFORMATEXTENSIBLE: an extensible
// format as it is; a plain one (PCM, float) as the first engine entry with its channels,
// rate, width and tag, the entry FindFormat completes it from. Two formats play alike
// exactly when their normalised forms are equal byte for byte.
WAVEFORMATEXTENSIBLE NormaliseWaveFormat(const WAVEFORMATEXTENSIBLE& Format, adapter::IStreamEngine* Engine);

// The signal-processing mode of a data format: AUDIO_SIGNALPROCESSINGMODE_RAW without
// attributes or with an empty list. With KSDATAFORMAT_ATTRIBUTES the KSMULTIPLE_ITEM list
// follows the format at the next multiple of 8 bytes (the framework has checked that its
// Size lies within the request); an item under 24 bytes, a list Size under 8, or a mode
// item that is not exactly 40 bytes with 40 bytes left: STATUS_INVALID_PARAMETER; an item
// of another attribute: STATUS_NOT_SUPPORTED.
NTSTATUS ReadSignalProcessingMode(const KSDATAFORMAT* DataFormat, GUID* Mode);

}  // namespace filters
