// Node properties of the topology filter: levels (volume and tone), on/off controls
// (mute, AGC, loudness), the multiplexer's source and the node class of private nodes.
// Levels cross as KS defines them and as the nodes keep them: signed 1/65536 dB.
#include <cstring>

#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "filters/topology_property_sets.h"
#include "topology_handlers.h"
#include "uac/control_interfaces.h"

namespace filters {

using adapter::ScopedRelease;

namespace {

bool IsAudioSet(PPCPROPERTY_REQUEST request) { return IsEqualGUID(*request->PropertyItem->Set, KSPROPSETID_Audio); }

// Which Audio property a level node of each type takes; the device-extension level SET
// goes to any of them.
bool LevelPropertyFits(ULONG type, PPCPROPERTY_REQUEST request) {
  const ULONG id = request->PropertyItem->Id;
  if (IsEqualGUID(*request->PropertyItem->Set, KSPROPSETID_DeviceExtension))
    return id == KSPROPERTY_DEVICEEXTENSION_LEVEL_WITH_EVENT &&
           (type == adapter::NODE_VOLUME || type == kLevelNodeType || type == adapter::NODE_BASS ||
            type == adapter::NODE_MID || type == adapter::NODE_TREBLE);
  if (!IsAudioSet(request)) return false;
  switch (type) {
    case adapter::NODE_VOLUME:
    case kLevelNodeType: return id == KSPROPERTY_AUDIO_VOLUMELEVEL;
    case adapter::NODE_BASS: return id == KSPROPERTY_AUDIO_BASS;
    case adapter::NODE_MID: return id == KSPROPERTY_AUDIO_MID;
    case adapter::NODE_TREBLE: return id == KSPROPERTY_AUDIO_TREBLE;
    default: return false;
  }
}

bool OnOffPropertyFits(ULONG type, PPCPROPERTY_REQUEST request) {
  if (!IsAudioSet(request)) return false;
  const ULONG id = request->PropertyItem->Id;
  return (type == adapter::NODE_MUTE && id == KSPROPERTY_AUDIO_MUTE) ||
         (type == adapter::NODE_AGC && id == KSPROPERTY_AUDIO_AGC) ||
         (type == adapter::NODE_LOUDNESS && id == KSPROPERTY_AUDIO_LOUDNESS);
}

// BASICSUPPORT of a per-channel control: one stepped range per channel, all equal.
NTSTATUS AnswerChannelRanges(PPCPROPERTY_REQUEST request, ULONG type, ULONG channels, LONG maximum, LONG minimum,
                             LONG step) {
  KSPROPERTY_STEPPING_LONG range{};
  range.SteppingDelta = static_cast<ULONG>(step);
  range.Reserved = 0;
  range.Bounds.SignedMinimum = minimum;
  range.Bounds.SignedMaximum = maximum;
  BasicSupport support{kAccessGetSetBasic,
                       type,
                       true,
                       KSPROPERTY_MEMBER_STEPPEDRANGES,
                       KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL,
                       channels,
                       &range,
                       sizeof(range)};
  return AnswerBasicSupport(request, support);
}

}  // namespace

NTSTATUS LevelPropertyHandler(PPCPROPERTY_REQUEST Request) {
  CMiniportTopology* miniport = nullptr;
  adapter::IUacEntity* entity = nullptr;
  ULONG type = 0;
  NTSTATUS status = RequestNode(Request, &miniport, &entity, &type);
  if (!NT_SUCCESS(status)) return status;
  if (!LevelPropertyFits(type, Request)) return STATUS_INVALID_PARAMETER;
  ScopedRelease<uac::ILevelControl> level;
  status = entity->QueryInterface(uac::IID_ILevelControl, level.out());
  if (!NT_SUCCESS(status)) return status;

  if (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    ULONG channels = 0;
    LONG maximum = 0, minimum = 0, step = 0;
    status = level->GetChannelCount(&channels);
    if (NT_SUCCESS(status)) status = level->GetRange(&maximum, &minimum, &step);
    if (!NT_SUCCESS(status)) return status;
    return AnswerChannelRanges(Request, VT_I4, channels, maximum, minimum, step);
  }
  ULONG channel = 0;
  status = InstanceU32(Request, &channel);
  if (!NT_SUCCESS(status)) return status;
  if (Request->Verb & KSPROPERTY_TYPE_GET) {
    status = CheckAnswerSize(Request, sizeof(LONG));
    if (!NT_SUCCESS(status)) return status;
    LONG value = 0;
    status = level->GetLevel(channel, &value);
    if (!NT_SUCCESS(status)) return status;
    return AnswerBytes(Request, &value, sizeof(value));
  }
  if (Request->Verb & KSPROPERTY_TYPE_SET) {
    ULONG value = 0;
    status = SetValueU32(Request, &value);
    if (NT_SUCCESS(status)) status = level->SetLevel(channel, static_cast<LONG>(value));
    // Only the device-extension SET tells the other clients; the Audio SET raises nothing.
    if (NT_SUCCESS(status) && IsEqualGUID(*Request->PropertyItem->Set, KSPROPSETID_DeviceExtension))
      miniport->GenerateControlChange(Request->Node);
    return status;
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS OnOffPropertyHandler(PPCPROPERTY_REQUEST Request) {
  CMiniportTopology* miniport = nullptr;
  adapter::IUacEntity* entity = nullptr;
  ULONG type = 0;
  NTSTATUS status = RequestNode(Request, &miniport, &entity, &type);
  if (!NT_SUCCESS(status)) return status;
  if (!OnOffPropertyFits(type, Request)) return STATUS_INVALID_PARAMETER;
  ScopedRelease<uac::IBoolControl> control;
  status = entity->QueryInterface(uac::IID_IBoolControl, control.out());
  if (!NT_SUCCESS(status)) return status;

  if (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    ULONG channels = 0;
    status = control->GetChannelCount(&channels);
    if (!NT_SUCCESS(status)) return status;
    return AnswerChannelRanges(Request, VT_BOOL, channels, 1, 0, 1);
  }
  ULONG channel = 0;
  status = InstanceU32(Request, &channel);
  if (!NT_SUCCESS(status)) return status;
  if (Request->Verb & KSPROPERTY_TYPE_GET) {
    status = CheckAnswerSize(Request, sizeof(ULONG));
    if (!NT_SUCCESS(status)) return status;
    UCHAR value = 0;
    status = control->GetValue(channel, &value);
    if (!NT_SUCCESS(status)) return status;
    return AnswerU32(Request, value ? 1 : 0);
  }
  if (Request->Verb & KSPROPERTY_TYPE_SET) {
    ULONG value = 0;
    status = SetValueU32(Request, &value);
    if (!NT_SUCCESS(status)) return status;
    return control->SetValue(channel, value != 0 ? 1 : 0);
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS MuxPropertyHandler(PPCPROPERTY_REQUEST Request) {
  CMiniportTopology* miniport = nullptr;
  adapter::IUacEntity* entity = nullptr;
  ULONG type = 0;
  NTSTATUS status = RequestNode(Request, &miniport, &entity, &type);
  if (!NT_SUCCESS(status)) return status;
  if (type != adapter::NODE_SELECTOR || !IsAudioSet(Request) || Request->PropertyItem->Id != KSPROPERTY_AUDIO_MUX_SOURCE)
    return STATUS_INVALID_PARAMETER;
  if (!Request->Value || Request->ValueSize < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  ScopedRelease<adapter::ISelectorNode> selector;
  status = entity->QueryInterface(adapter::IID_ISelectorNode, selector.out());
  if (!NT_SUCCESS(status)) return status;
  // The selected input is the mux's input pin: both count from 1.
  if (Request->Verb & KSPROPERTY_TYPE_GET) {
    ULONG input = 0;
    status = selector->GetSelected(&input);
    if (!NT_SUCCESS(status)) return status;
    return AnswerU32(Request, input);
  }
  if (Request->Verb & KSPROPERTY_TYPE_SET) {
    ULONG input = 0;
    std::memcpy(&input, Request->Value, sizeof(input));
    return selector->SetSelected(input);
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NodeClassPropertyHandler(PPCPROPERTY_REQUEST Request) {
  CMiniportTopology* miniport = nullptr;
  adapter::IUacEntity* entity = nullptr;
  ULONG type = 0;
  NTSTATUS status = RequestNode(Request, &miniport, &entity, &type);
  if (!NT_SUCCESS(status)) return status;
  const GUID* nodeClass = NodeClassGuid(type);
  if (!nodeClass || !Request->Value || Request->ValueSize < sizeof(GUID) ||
      !(Request->Verb & KSPROPERTY_TYPE_GET))
    return STATUS_INVALID_PARAMETER;
  return AnswerBytes(Request, nodeClass, sizeof(GUID));
}

}  // namespace filters
