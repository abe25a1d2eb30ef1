#include "endpoints.h"

#include <algorithm>
#include <map>
#include <strings.h>

#include "stream/usb_stream_engine.h"
#include "tool_common.h"

namespace tools {
namespace {

constexpr ULONG kPcmData1 = 0x0001;
constexpr std::uint32_t kPreferredRate = 48000;

// Among the formats a request allows, lower first: 48 kHz when no rate is asked for, then
// a container that holds exactly its valid bits before a wider one.
int Rank(const PcmFormat& f, std::uint32_t rate) {
  return (!rate && f.rate != kPreferredRate ? 2 : 0) + (f.container != f.bits ? 1 : 0);
}

}  // namespace

std::vector<Endpoint> ListEndpoints(adapter::IAudioHal* hal) {
  std::vector<Endpoint> endpoints;
  if (!hal) return endpoints;
  std::map<std::pair<std::string, bool>, int> labels;  // by type name and direction
  for (ULONG e = 0; e < hal->GetEngineCount(); ++e) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(hal->GetEngine(e, &engine))) continue;
    Endpoint endpoint;
    endpoint.engine = engine;
    endpoint.capture = engine->GetDirection() != adapter::STREAM_DIRECTION_RENDER;
    endpoint.name = EndpointTypeName(engine->GetEndpointType());
    if (int n = ++labels[{endpoint.name, endpoint.capture}]; n > 1) endpoint.name += std::to_string(n);
    for (PCWSTR c = engine->GetName(); c && *c; ++c) endpoint.filterName += *c < 0x80 ? static_cast<char>(*c) : '?';
    endpoint.filterName += "Wave";
    PVOID itf = nullptr;
    if (NT_SUCCESS(engine->QueryInterface(stream::IID_IUsbStreamEngine, &itf))) {
      auto* usb = static_cast<stream::CUsbStreamEngine*>(static_cast<stream::IUsbStreamEngine*>(itf));
      usb->Release();  // the engine list holds it
      endpoint.interfaceNumber = static_cast<std::uint8_t>(usb->GetEngineId());
      for (ULONG r = 0; r < usb->GetFormatRecordCount(); ++r) {
        const stream::StreamFormatRecord* record = usb->GetFormatRecord(r);
        const WAVEFORMATEXTENSIBLE& f = record->Format;
        const unsigned valid = f.Samples.wValidBitsPerSample, container = f.Format.wBitsPerSample;
        if (f.SubFormat.Data1 != kPcmData1 || valid % 8 || valid < 8 || valid > container || container > 32 ||
            container % 8)
          continue;
        PcmFormat pcm{f.Format.nSamplesPerSec, f.Format.nChannels, static_cast<std::uint16_t>(valid),
                      static_cast<std::uint16_t>(container), static_cast<std::uint32_t>(f.dwChannelMask),
                      record->AlternateSetting};
        // A capture interface lists its formats twice (with and without a channel mask).
        bool seen = false;
        for (const PcmFormat& p : endpoint.formats)
          seen |= p.rate == pcm.rate && p.channels == pcm.channels && p.bits == pcm.bits && p.container == pcm.container;
        if (!seen) endpoint.formats.push_back(pcm);
      }
    }
    endpoints.push_back(std::move(endpoint));
  }
  for (Endpoint& e : endpoints) {
    e.fullName = e.name;
    for (const Endpoint& other : endpoints)
      if (other.capture != e.capture && !strcasecmp(other.name.c_str(), e.name.c_str()))
        e.fullName = e.name + (e.capture ? "In" : "Out");
  }
  return endpoints;
}

const Endpoint* FindEndpoint(const std::vector<Endpoint>& endpoints, bool capture, const std::string& name,
                             std::string& error) {
  const char* direction = capture ? "capture" : "render";
  for (const Endpoint& e : endpoints) {
    if (e.capture != capture) continue;
    if (name.empty() || !strcasecmp(e.name.c_str(), name.c_str()) || !strcasecmp(e.fullName.c_str(), name.c_str()) ||
        name == std::to_string(e.interfaceNumber))
      return &e;
  }
  std::string have;
  for (const Endpoint& e : endpoints)
    have += (have.empty() ? "" : ", ") + e.fullName + " (" + (e.capture ? "capture" : "render") + ", interface " +
            std::to_string(e.interfaceNumber) + ")";
  if (name.empty())
    error = std::string("the device has no ") + direction + " endpoint" + (have.empty() ? "" : "; it has " + have);
  else
    error = std::string("no ") + direction + " endpoint '" + name + "'" +
            (have.empty() ? "; the device has no endpoints" : "; the device has " + have);
  return nullptr;
}

const PcmFormat* FindFormat(const Endpoint& endpoint, std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                            std::string& error) {
  const PcmFormat* best = nullptr;
  for (const PcmFormat& f : endpoint.formats) {
    if ((rate && f.rate != rate) || (channels && f.channels != channels) || (bits && f.bits != bits)) continue;
    if (!best || Rank(f, rate) < Rank(*best, rate)) best = &f;
  }
  if (best) return best;
  error = "unsupported format: " + (rate ? std::to_string(rate) + " Hz" : std::string("any rate")) + ", " +
          (channels ? std::to_string(channels) + " ch" : std::string("any channels")) + ", " +
          (bits ? std::to_string(bits) + "-bit" : std::string("any size")) + "; " + endpoint.name + " " +
          (endpoint.capture ? "records " : "plays ") + DescribeFormats(endpoint);
  return nullptr;
}

std::string DescribeFormats(const Endpoint& endpoint) {
  if (endpoint.formats.empty()) return "no integer PCM format";
  struct Layout {
    std::uint16_t channels, bits, container;
    std::vector<std::uint32_t> rates;
  };
  std::vector<Layout> layouts;
  for (const PcmFormat& f : endpoint.formats) {
    auto it = std::find_if(layouts.begin(), layouts.end(), [&](const Layout& l) {
      return l.channels == f.channels && l.bits == f.bits && l.container == f.container;
    });
    if (it == layouts.end()) it = layouts.insert(layouts.end(), Layout{f.channels, f.bits, f.container, {}});
    if (std::find(it->rates.begin(), it->rates.end(), f.rate) == it->rates.end()) it->rates.push_back(f.rate);
  }
  bool sameRates = true;
  for (Layout& l : layouts) {
    std::sort(l.rates.begin(), l.rates.end());
    sameRates &= l.rates == layouts.front().rates;
  }
  auto rates = [](const std::vector<std::uint32_t>& list) {
    std::string text = " at";
    for (std::size_t i = 0; i < list.size(); ++i) text += (i ? ", " : " ") + std::to_string(list[i]);
    return text + " Hz";
  };
  std::string text;
  for (std::size_t i = 0; i < layouts.size(); ++i) {
    const Layout& l = layouts[i];
    text += (i ? " or " : "") + std::to_string(l.channels) + " ch " + std::to_string(l.bits) + "-bit";
    if (l.container != l.bits) text += " (in " + std::to_string(l.container) + ")";
    if (!sameRates) text += rates(l.rates);
  }
  return sameRates ? text + rates(layouts.front().rates) : text;
}

}  // namespace tools
