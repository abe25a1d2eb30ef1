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

}  // namespace

std::vector<Endpoint> ListEndpoints(adapter::IAudioHal* hal) {
  std::vector<Endpoint> endpoints;
  if (!hal) return endpoints;
  std::map<std::string, int> labels;
  for (ULONG e = 0; e < hal->GetEngineCount(); ++e) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(hal->GetEngine(e, &engine))) continue;
    Endpoint endpoint;
    endpoint.engine = engine;
    endpoint.name = EndpointTypeName(engine->GetEndpointType());
    if (int n = ++labels[endpoint.name]; n > 1) endpoint.name += std::to_string(n);
    endpoint.capture = engine->GetDirection() != adapter::STREAM_DIRECTION_RENDER;
    PVOID itf = nullptr;
    if (NT_SUCCESS(engine->QueryInterface(stream::IID_IUsbStreamEngine, &itf))) {
      auto* usb = static_cast<stream::CUsbStreamEngine*>(static_cast<stream::IUsbStreamEngine*>(itf));
      usb->Release();  // the engine list holds it
      endpoint.interfaceNumber = static_cast<std::uint8_t>(usb->GetEngineId());
      for (ULONG r = 0; r < usb->GetFormatRecordCount(); ++r) {
        const stream::StreamFormatRecord* record = usb->GetFormatRecord(r);
        const WAVEFORMATEXTENSIBLE& f = record->Format;
        if (f.SubFormat.Data1 != kPcmData1 || f.Format.wBitsPerSample != f.Samples.wValidBitsPerSample) continue;
        PcmFormat pcm{f.Format.nSamplesPerSec, f.Format.nChannels, f.Format.wBitsPerSample,
                      static_cast<std::uint32_t>(f.dwChannelMask), record->AlternateSetting};
        // A capture interface lists its formats twice (with and without a channel mask).
        bool seen = false;
        for (const PcmFormat& p : endpoint.formats)
          seen |= p.rate == pcm.rate && p.channels == pcm.channels && p.bits == pcm.bits;
        if (!seen) endpoint.formats.push_back(pcm);
      }
    }
    endpoints.push_back(std::move(endpoint));
  }
  return endpoints;
}

const Endpoint* FindEndpoint(const std::vector<Endpoint>& endpoints, bool capture, const std::string& name,
                             std::string& error) {
  const char* direction = capture ? "capture" : "render";
  for (const Endpoint& e : endpoints) {
    if (e.capture != capture) continue;
    if (name.empty() || !strcasecmp(e.name.c_str(), name.c_str()) || name == std::to_string(e.interfaceNumber))
      return &e;
  }
  std::string have;
  for (const Endpoint& e : endpoints)
    have += (have.empty() ? "" : ", ") + e.name + " (" + (e.capture ? "capture" : "render") + ", interface " +
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
    if (!best || (!rate && f.rate == kPreferredRate && best->rate != kPreferredRate)) best = &f;
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
  std::vector<std::pair<std::uint16_t, std::uint16_t>> layouts;
  std::vector<std::uint32_t> rates;
  for (const PcmFormat& f : endpoint.formats) {
    if (std::find(layouts.begin(), layouts.end(), std::make_pair(f.channels, f.bits)) == layouts.end())
      layouts.emplace_back(f.channels, f.bits);
    if (std::find(rates.begin(), rates.end(), f.rate) == rates.end()) rates.push_back(f.rate);
  }
  std::sort(rates.begin(), rates.end());
  std::string text;
  for (std::size_t i = 0; i < layouts.size(); ++i)
    text += (i ? " or " : "") + std::to_string(layouts[i].first) + " ch " + std::to_string(layouts[i].second) + "-bit";
  text += " at";
  for (std::size_t i = 0; i < rates.size(); ++i) text += (i ? ", " : " ") + std::to_string(rates[i]);
  return text + " Hz";
}

}  // namespace tools
