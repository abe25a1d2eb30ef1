// The USB Audio Class codes the driver reads and sends, for both class versions: the
// interface class, subclasses and protocols, the class-specific descriptor type, the
// Audio Control descriptor subtypes, the class request codes and the terminal types the
// driver tells apart. Every layer of the driver takes them from here; the simulated
// device keeps its own set, so the two check each other.
#pragma once

#include "kernel/nt.h"

namespace adapter {

// Interface class, subclasses and the Audio Control interface's protocol per version.
inline constexpr UCHAR kAudioClass = 0x01;
inline constexpr UCHAR kAudioControlSubclass = 0x01;
inline constexpr UCHAR kAudioStreamingSubclass = 0x02;
inline constexpr UCHAR kProtocolUac1 = 0x00;
inline constexpr UCHAR kProtocolUac2 = 0x20;

// Class-specific interface and endpoint descriptors (CS_INTERFACE, CS_ENDPOINT).
inline constexpr UCHAR kAcDescriptorType = 0x24;
inline constexpr UCHAR kCsEndpointDescriptorType = 0x25;

// Audio Control descriptor subtypes. 1 to 6 are shared; from 7 the versions differ.
enum AcSubtype : UCHAR {
  AC_HEADER = 1,
  AC_INPUT_TERMINAL = 2,
  AC_OUTPUT_TERMINAL = 3,
  AC_MIXER_UNIT = 4,
  AC_SELECTOR_UNIT = 5,
  AC_FEATURE_UNIT = 6,
  AC1_PROCESSING_UNIT = 7,
  AC1_EXTENSION_UNIT = 8,
  AC2_EFFECT_UNIT = 7,
  AC2_PROCESSING_UNIT = 8,
  AC2_EXTENSION_UNIT = 9,
  AC2_CLOCK_SOURCE = 10,
  AC2_CLOCK_SELECTOR = 11,
  AC2_CLOCK_MULTIPLIER = 12,
};

// Audio Streaming interface descriptor subtypes, and the format types of AS_FORMAT_TYPE.
enum AsSubtype : UCHAR {
  AS_GENERAL = 1,
  AS_FORMAT_TYPE = 2,
};
enum FormatType : UCHAR {
  FORMAT_TYPE_I = 1,
  FORMAT_TYPE_II = 2,
  FORMAT_TYPE_III = 3,
};

// Class request codes. Version 1.0: SET_CUR and the GET_* reads (the direction bit set);
// version 2.0: CUR and RANGE in either direction.
inline constexpr UCHAR kSetCur = 0x01;
inline constexpr UCHAR kGetCur = 0x81;
inline constexpr UCHAR kGetMin = 0x82;
inline constexpr UCHAR kGetMax = 0x83;
inline constexpr UCHAR kGetRes = 0x84;
inline constexpr UCHAR kGetMem = 0x85;
inline constexpr UCHAR kUac2Cur = 0x01;
inline constexpr UCHAR kUac2Range = 0x02;

// Terminal types (wTerminalType) the driver maps to endpoint kinds.
enum TerminalType : USHORT {
  TERMINAL_USB_STREAMING = 0x0101,
  TERMINAL_MICROPHONE = 0x0201,
  TERMINAL_DESKTOP_MICROPHONE = 0x0202,
  TERMINAL_MICROPHONE_ARRAY_LAST = 0x0206,  // 0x0203-0x0206: the other microphone types
  TERMINAL_SPEAKER = 0x0301,
  TERMINAL_HEADPHONES = 0x0302,
  TERMINAL_HANDSET = 0x0401,
  TERMINAL_HEADSET = 0x0402,
  TERMINAL_SPEAKERPHONE = 0x0403,
  TERMINAL_SPEAKERPHONE_LAST = 0x0405,  // 0x0403-0x0405: the speakerphone types
  TERMINAL_ANALOG_CONNECTOR = 0x0601,
  TERMINAL_LINE_CONNECTOR = 0x0603,
  TERMINAL_SPDIF = 0x0605,
};

// String descriptors: the language the driver asks in, and the indices a maker's model
// string may sit at, in the order they are tried.
inline constexpr USHORT kLanguageEnglish = 0x0409;
inline constexpr UCHAR kModelStringIndex = 0x50;
inline constexpr UCHAR kModelStringFallbackIndex = 0x32;

}  // namespace adapter
