// Client requests against the driver's WaveCyclic filter, as the audio engine sends them,
// on the built-in simulated headset loaded as Plug and Play loads it. Input: one selector
// byte, a little-endian u32 value size (capped), then the request bytes.
//   selector % 3 == 0: a data intersection on pin (selector >> 2) & 1 of the render or
//                      (bit 7) capture filter; the bytes are the KSMULTIPLE_ITEM of ranges.
//   selector % 3 == 1: a pin created with the bytes as its data format.
//   selector % 3 == 2: a pin created with the engine's first format; the bytes are a new
//                      data format (KSPROPERTY_CONNECTION_DATAFORMAT) followed by states.
// After a created pin: the remaining bytes, one each, are states (value % 5) set on it.
// The driver must answer everything without a crash, leak or verifier report, and never
// with more than the buffer holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver_host.h"
#include "portcls/ksclient.h"
#include "sim/device/default_device.h"

namespace {

struct Target {
  tools::DriverHost host;
  std::unique_ptr<platform::ks::Filter> render, capture;
  Target() {
    if (!NT_SUCCESS(host.StartDriver(sim::device::default_device::Create(sim::device::default_device::Profile())))) {
      for (const auto& report : host.reports()) std::fprintf(stderr, "%s\n", report.c_str());
      std::fprintf(stderr, "the driver did not start on the built-in device\n");
      std::abort();
    }
    for (const auto& sub : platform::ks::EnumerateSubdevices(&KSCATEGORY_RENDER))
      if (!render) platform::ks::OpenFilter(sub.device, sub.name, &render);
    for (const auto& sub : platform::ks::EnumerateSubdevices(&KSCATEGORY_CAPTURE))
      if (!capture) platform::ks::OpenFilter(sub.device, sub.name, &capture);
    if (!render || !capture) {
      std::fprintf(stderr, "the driver registered no wave filter in each direction\n");
      std::abort();
    }
  }
};

void CheckReports(const tools::DriverHost& host) {
  if (host.reports().empty()) return;
  for (const auto& report : host.reports()) std::fprintf(stderr, "%s\n", report.c_str());
  std::abort();
}

// The streaming pin's first data range, as an extensible data format of its maxima,
// found through the intersection the engine client uses.
std::vector<std::uint8_t> FirstFormat(platform::ks::Filter& filter) {
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM list;
    KSDATARANGE range;
  } request{};
  request.pin.Property = {{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}};
  request.list = {sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE), 1};
  request.range.FormatSize = sizeof(KSDATARANGE);
  request.range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  request.range.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  request.range.Specifier = KSDATAFORMAT_SPECIFIER_WILDCARD;
  std::vector<std::uint8_t> format(512);
  ULONG returned = 0;
  if (!NT_SUCCESS(filter.Property(&request, sizeof request, format.data(), static_cast<ULONG>(format.size()), &returned)))
    return {};
  format.resize(returned);
  return format;
}

std::unique_ptr<platform::ks::Pin> CreatePin(platform::ks::Filter& filter, const std::uint8_t* format, size_t size) {
  std::vector<std::uint8_t> connect(sizeof(KSPIN_CONNECT) + size);
  KSPIN_CONNECT c{};
  c.Interface = {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}};
  c.Medium = {{KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0}};
  c.PinId = 0;
  c.Priority = {KSPRIORITY_NORMAL, 1};
  std::memcpy(connect.data(), &c, sizeof c);
  if (size) std::memcpy(connect.data() + sizeof c, format, size);
  std::unique_ptr<platform::ks::Pin> pin;
  filter.CreatePin(connect.data(), static_cast<ULONG>(connect.size()), &pin);
  return pin;
}

void SetStates(platform::ks::Pin& pin, const std::uint8_t* bytes, size_t count) {
  KSPROPERTY property = {{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET}};
  for (size_t i = 0; i < count && i < 16; ++i) {
    ULONG state = bytes[i] % 5;
    ULONG returned = 0;
    pin.Property(&property, sizeof property, &state, sizeof state, &returned);
    KSAUDIO_POSITION position{};
    KSPROPERTY get = {{KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET}};
    pin.Property(&get, sizeof get, &position, sizeof position, &returned);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Target* target = new Target;  // lives for the process, as a loaded driver would
  if (size < 5) return 0;
  const uint8_t selector = data[0];
  uint32_t valueSize;
  std::memcpy(&valueSize, data + 1, sizeof valueSize);
  valueSize %= 4097;
  const uint8_t* bytes = data + 5;
  const size_t count = size - 5;
  platform::ks::Filter& filter = (selector & 0x80) ? *target->capture : *target->render;

  switch (selector % 3) {
    case 0: {
      std::vector<uint8_t> request(sizeof(KSP_PIN) + count);
      KSP_PIN pin{};
      pin.Property = {{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}};
      pin.PinId = (selector >> 2) & 1;
      std::memcpy(request.data(), &pin, sizeof pin);
      if (count) std::memcpy(request.data() + sizeof pin, bytes, count);
      std::vector<uint8_t> value(valueSize);
      ULONG returned = 0;
      const NTSTATUS status = filter.Property(request.data(), static_cast<ULONG>(request.size()),
                                              value.empty() ? nullptr : value.data(), valueSize, &returned);
      if (valueSize && returned > valueSize) std::abort();
      if (!valueSize && returned && status != STATUS_BUFFER_OVERFLOW) std::abort();
      break;
    }
    case 1: {
      // The data format's own FormatSize decides where states begin: the rest of the input.
      ULONG formatSize = 0;
      if (count >= sizeof(ULONG)) std::memcpy(&formatSize, bytes, sizeof formatSize);
      const size_t taken = formatSize <= count ? formatSize : count;
      std::unique_ptr<platform::ks::Pin> pin = CreatePin(filter, bytes, taken);
      if (pin) SetStates(*pin, bytes + taken, count - taken);
      break;
    }
    default: {
      const std::vector<uint8_t> first = FirstFormat(filter);
      if (first.empty()) std::abort();  // the filter's own range must intersect
      std::unique_ptr<platform::ks::Pin> pin = CreatePin(filter, first.data(), first.size());
      if (!pin) std::abort();  // and its result must open
      const size_t taken = valueSize < count ? valueSize : count;
      std::vector<uint8_t> format(bytes, bytes + taken);
      KSPROPERTY property = {{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET}};
      ULONG returned = 0;
      pin->Property(&property, sizeof property, format.empty() ? nullptr : format.data(),
                    static_cast<ULONG>(format.size()), &returned);
      SetStates(*pin, bytes + taken, count - taken);
      break;
    }
  }
  CheckReports(target->host);
  return 0;
}
