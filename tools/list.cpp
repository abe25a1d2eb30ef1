// uactool list: what the audio engine sees of the device, read through the simulated
// engine client as the system's audio engine reads it: every filter the driver
// registered, its pins with their data ranges, its nodes with their current values, and
// the connections between them.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "adapter/device_extension.h"
#include "kernel/device_registry.h"
#include "portcls/ksmedia.h"
#include "sim/engine/engine.h"
#include "endpoints.h"
#include "nodes.h"
#include "tool_common.h"
#include "verbs.h"

namespace tools {
namespace {

const char kListHelp[] =
    "usage: uactool list [--device FILE] [--state FILE.reg] [-l]\n"
    "\n"
    "Starts the driver on the device (the built-in default device unless --device names a\n"
    "device file) with the driver's \"Settings\" from the state file, and prints what the\n"
    "audio engine sees through the driver's filters: each filter with its categories, its\n"
    "pins (direction, communication, category, data ranges: channels, sample sizes, rates),\n"
    "its nodes with their current values (volume per channel in dB, mute, selector input)\n"
    "and the connections between pins and nodes.\n"
    "\n"
    "  --device FILE       a device file (lsusb -v text or raw descriptor hex)\n"
    "  --state FILE.reg    the devices' states (default uactool.reg; read only: uactool set\n"
    "                      writes them)\n"
    "  --no-model-string   the device file's device answers no model string\n"
    "  -l, --endpoints     one line per endpoint instead: its name (as play and record take\n"
    "                      it), direction, streaming interface, wave filter and formats\n"
    "\n"
    "exit codes: 0 done, 1 the driver refused the device, 2 usage or device file error,\n"
    "3 verifier report\n";

constexpr ULONG kMaxChannels = 8;

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::string RangeText(const std::vector<BYTE>& bytes) {
  if (bytes.size() >= sizeof(KSDATARANGE)) {
    KSDATARANGE r;
    std::memcpy(&r, bytes.data(), sizeof r);
    if (!std::memcmp(&r.SubFormat, &KSDATAFORMAT_SUBTYPE_ANALOG, sizeof(GUID))) return "analog";
  }
  if (bytes.size() < sizeof(KSDATARANGE_AUDIO)) return "a range of " + std::to_string(bytes.size()) + " bytes";
  KSDATARANGE_AUDIO r;
  std::memcpy(&r, bytes.data(), sizeof r);
  char text[128];
  std::snprintf(text, sizeof text, "%s%u ch, %u-%u bit, %u-%u Hz",
                !std::memcmp(&r.DataRange.SubFormat, &KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID)) ? "PCM " : "",
                static_cast<unsigned>(r.MaximumChannels), static_cast<unsigned>(r.MinimumBitsPerSample),
                static_cast<unsigned>(r.MaximumBitsPerSample), static_cast<unsigned>(r.MinimumSampleFrequency),
                static_cast<unsigned>(r.MaximumSampleFrequency));
  return text;
}

// The node's current value as the engine reads it: per channel while channels answer.
std::string NodeValue(sim::engine::FilterClient& filter, ULONG node, const GUID& type) {
  std::string text;
  LONG value = 0;
  if (!std::memcmp(&type, &KSNODETYPE_VOLUME, sizeof type) || !std::memcmp(&type, &KSNODETYPE_MUTE, sizeof type)) {
    const bool volume = !std::memcmp(&type, &KSNODETYPE_VOLUME, sizeof type);
    const ULONG id = volume ? KSPROPERTY_AUDIO_VOLUMELEVEL : KSPROPERTY_AUDIO_MUTE;
    for (ULONG c = 0; c < kMaxChannels; ++c) {
      if (!NT_SUCCESS(filter.GetNodeValue(node, KSPROPSETID_Audio, id, static_cast<LONG>(c), &value))) break;
      text += (c ? ", " : "") + std::to_string(c) + ": " + (volume ? FormatDb(value) : value ? "on" : "off");
    }
  } else if (!std::memcmp(&type, &KSNODETYPE_MUX, sizeof type)) {
    if (NT_SUCCESS(filter.GetNodeValue(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, -1, &value)))
      text = "input " + std::to_string(value);
  }
  return text;
}

// `names`: the topology filter's nodes by number ("HP-volume"); empty for a wave filter.
void PrintFilter(const platform::ks::SubdeviceInfo& info, const std::map<long, std::string>& names) {
  std::unique_ptr<sim::engine::FilterClient> filter;
  std::printf("Filter %s\n", Narrow(info.name).c_str());
  sim::engine::FilterDescription d;
  if (!NT_SUCCESS(sim::engine::FilterClient::Open(info, &filter)) || !NT_SUCCESS(filter->ReadDescription(&d))) {
    std::printf("  (the engine cannot read it)\n");
    return;
  }
  std::printf("  categories:");
  for (const GUID& g : d.categories) std::printf(" %s", GuidName(g).c_str());
  std::printf("\n");
  for (const auto& p : d.pins) {
    static const char* const kCommunication[] = {"none", "sink", "source", "both", "bridge"};
    std::printf("  pin %u: %s, %s", p.id, p.dataFlow == KSPIN_DATAFLOW_IN ? "in" : "out",
                p.communication <= KSPIN_COMMUNICATION_BRIDGE ? kCommunication[p.communication] : "?");
    if (std::memcmp(&p.category, &GUID_NULL, sizeof(GUID))) std::printf(", %s", GuidName(p.category).c_str());
    if (p.communication == KSPIN_COMMUNICATION_SINK)
      std::printf(", %u instance%s", static_cast<unsigned>(p.instances.PossibleCount),
                  p.instances.PossibleCount == 1 ? "" : "s");
    std::printf("\n");
    for (const auto& range : p.dataRanges) std::printf("    %s\n", RangeText(range).c_str());
  }
  for (ULONG n = 0; n < d.nodeTypes.size(); ++n) {
    const std::string value = NodeValue(*filter, n, d.nodeTypes[n]);
    auto name = names.find(static_cast<long>(n));
    const std::string label = name == names.end() ? std::string() : " (" + name->second + ")";
    std::printf("  node %u: %s%s%s%s\n", n, GuidName(d.nodeTypes[n]).c_str(), label.c_str(), value.empty() ? "" : ": ",
                value.c_str());
  }
  constexpr ULONG kFilterPin = ULONG(-1);
  for (const auto& c : d.connections) {
    auto end = [&](ULONG node, ULONG pin) {
      return node == kFilterPin ? "pin " + std::to_string(pin) : "node " + std::to_string(node);
    };
    std::printf("  %s -> %s\n", end(c.FromNode, c.FromNodePin).c_str(), end(c.ToNode, c.ToNodePin).c_str());
  }
}

}  // namespace

int RunList(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, {"--device", "--state"}, {"--no-model-string", "-l", "--endpoints"}, args, error)) {
    Error("list: %s (see uactool list --help)", error.c_str());
    return kExitUsage;
  }
  if (args.help) {
    std::fputs(kListHelp, stdout);
    return kExitOk;
  }
  if (!args.operands.empty()) {
    Error("list: takes no operands (see uactool list --help)");
    return kExitUsage;
  }
  DriverHost host;
  if (int code = StartWithState(host, "list", args.Value("--device").value_or(""), !args.Has("--no-model-string"),
                                args.Value("--state").value_or(kDefaultStateFile), true);
      code != kExitOk)
    return Finish(host, code);
  if (args.Has("-l") || args.Has("--endpoints")) {
    const std::vector<Endpoint> endpoints = ListEndpoints(host.hal());
    if (endpoints.empty()) std::printf("The device has no audio endpoints.\n");
    for (const Endpoint& e : endpoints)
      std::printf("%-12s %-7s interface %-3u %-16s %s\n", e.fullName.c_str(), e.capture ? "capture" : "render",
                  e.interfaceNumber, e.filterName.c_str(), DescribeFormats(e).c_str());
    return Finish(host, kExitOk);
  }
  std::map<long, std::string> names;
  for (const NamedNode& n : NameNodes(host.hal()))
    if (n.ksNode >= 0) names[n.ksNode] = n.name;
  const auto filters = sim::engine::EnumerateFilters();
  if (filters.empty()) std::printf("The audio engine sees no filter of the device.\n");
  for (const auto& info : filters) {
    bool topology = false;
    for (const GUID& g : info.categories) topology |= IsEqualGUID(g, KSCATEGORY_TOPOLOGY);
    PrintFilter(info, topology ? names : std::map<long, std::string>{});
  }
  return Finish(host, kExitOk);
}

}  // namespace tools
