#include "uac/terminal_types.h"

#include "adapter/audio_class.h"
#include "adapter/endpoint_type.h"

namespace uac {
namespace {

using namespace adapter;

constexpr TerminalTypeRow kTerminalTypes[] = {
    // First                        Last                            input               capture record
    //                                                              output              status change     jacks
    {TERMINAL_USB_STREAMING, TERMINAL_USB_STREAMING, ENDPOINT_STREAM, ENDPOINT_LINE, ENDPOINT_STREAM, ENDPOINT_SPK,
     false},
    {TERMINAL_MICROPHONE, TERMINAL_MICROPHONE, ENDPOINT_MIC, ENDPOINT_MIC, ENDPOINT_SPK, ENDPOINT_SPK, true},
    {TERMINAL_DESKTOP_MICROPHONE, TERMINAL_DESKTOP_MICROPHONE, ENDPOINT_MIC, ENDPOINT_FMIC, ENDPOINT_SPK, ENDPOINT_SPK,
     true},
    {TERMINAL_DESKTOP_MICROPHONE + 1, TERMINAL_MICROPHONE_ARRAY_LAST, ENDPOINT_MIC, ENDPOINT_LINE, ENDPOINT_SPK,
     ENDPOINT_SPK, true},
    {TERMINAL_HEADPHONES, TERMINAL_HEADPHONES, ENDPOINT_AUX, ENDPOINT_HP, ENDPOINT_HP, ENDPOINT_HP, false},
    {TERMINAL_HANDSET, TERMINAL_HANDSET, ENDPOINT_HANDSET, ENDPOINT_HANDSET, ENDPOINT_HANDSET, ENDPOINT_HANDSET, true},
    {TERMINAL_HEADSET, TERMINAL_HEADSET, ENDPOINT_HEADSET, ENDPOINT_HEADSET, ENDPOINT_HEADSET, ENDPOINT_HEADSET, true},
    {TERMINAL_SPEAKERPHONE, TERMINAL_SPEAKERPHONE_LAST, ENDPOINT_SPEAKERPHONE, ENDPOINT_LINE, ENDPOINT_SPK,
     ENDPOINT_SPK, true},
    {TERMINAL_ANALOG_CONNECTOR, TERMINAL_ANALOG_CONNECTOR, ENDPOINT_AUX, ENDPOINT_LINE, ENDPOINT_LINE, ENDPOINT_LINE,
     true},
    {TERMINAL_LINE_CONNECTOR, TERMINAL_LINE_CONNECTOR, ENDPOINT_LINE, ENDPOINT_LINE, ENDPOINT_LINE, ENDPOINT_LINE,
     true},
    {TERMINAL_SPDIF, TERMINAL_SPDIF, ENDPOINT_SPDIF, ENDPOINT_SPDIF, ENDPOINT_SPDIF, ENDPOINT_SPDIF, true},
};

// Speakers and every type without a row: headphones, connectors and the rest.
constexpr TerminalTypeRow kOtherTerminalType = {0, 0xFFFF, ENDPOINT_AUX, ENDPOINT_LINE, ENDPOINT_SPK, ENDPOINT_SPK,
                                                false};

}  // namespace

const TerminalTypeRow& FindTerminalType(USHORT TerminalType) {
  for (const TerminalTypeRow& row : kTerminalTypes)
    if (TerminalType >= row.First && TerminalType <= row.Last) return row;
  return kOtherTerminalType;
}

ULONG InputTerminalKind(USHORT TerminalType) { return FindTerminalType(TerminalType).InputKind; }
ULONG Uac2InputTerminalKind(USHORT TerminalType) {
  return TerminalType == TERMINAL_HEADSET ? ENDPOINT_HANDSET : InputTerminalKind(TerminalType);
}
ULONG InputTerminalNodeKind(USHORT TerminalType) { return FindTerminalType(TerminalType).InputNodeKind; }
ULONG OutputTerminalKind(USHORT TerminalType) { return FindTerminalType(TerminalType).OutputKind; }
ULONG OutputTerminalStatusKind(USHORT TerminalType) { return FindTerminalType(TerminalType).StatusKind; }
bool TerminalReportsJacks(USHORT TerminalType) { return FindTerminalType(TerminalType).ReportsJacks; }

}  // namespace uac
