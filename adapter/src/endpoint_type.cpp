#include "adapter/endpoint_type.h"

namespace adapter {

PCWSTR EndpointTypePrefix(ULONG type) {
  static constexpr PCWSTR kPrefixes[kEndpointTypeCount] = {
      u"Stream", u"SPK",   u"HP",     u"SPDIF",     u"HDMI",    u"DisplayPort", u"Line",
      u"Mic",    u"Aux",   u"CD",     u"Video",     u"FMic",    u"Telephone",   u"HandSet",
      u"HeadSet", u"Speakerphone", u"StereoMix", u"FHP", u"Rec"};
  return IsValidEndpointType(type) ? kPrefixes[type] : nullptr;
}

}  // namespace adapter
