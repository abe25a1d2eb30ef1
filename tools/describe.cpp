// uactool describe: starts the driver's probe and builders on a device and prints what
// was built (units, control nodes, stream engines with their formats and paths, the
// capability record), or the refusal with what the driver found and the descriptor at
// fault.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/audio_class.h"
#include "adapter/device_extension.h"
#include "adapter/endpoint_type.h"
#include "nodes.h"
#include "sim/engine/engine.h"
#include "stream/usb_stream_engine.h"
#include "tool_common.h"
#include "uac/control_interfaces.h"
#include "uac/unit_interfaces.h"
#include "usb/usbdlib.h"
#include "verbs.h"

namespace tools {
namespace {

const char* SubtypeName(ULONG subtype) {
  switch (subtype) {
    case adapter::AC_INPUT_TERMINAL: return "Input terminal";
    case adapter::AC_OUTPUT_TERMINAL: return "Output terminal";
    case adapter::AC_MIXER_UNIT: return "Mixer unit";
    case adapter::AC_SELECTOR_UNIT: return "Selector unit";
    case adapter::AC_FEATURE_UNIT: return "Feature unit";
    // Only a UAC 2.0 function builds these; a UAC 1.0 one refuses its subtypes 9 and 10.
    case adapter::AC2_EXTENSION_UNIT: return "Extension unit";
    case adapter::AC2_CLOCK_SOURCE: return "Clock source";
    default: return "Unit";
  }
}

std::string Sources(adapter::IUacEntity* e) {
  ULONG count = 0;
  const ULONG* sources = nullptr;
  if (!NT_SUCCESS(e->GetSources(&count, &sources)) || !count || !sources) return "-";
  std::string text;
  for (ULONG i = 0; i < count; ++i) text.append(i ? "," : "").append(std::to_string(sources[i]));
  return text;
}

void PrintFault(const DriverHost& host, ULONG offset, UCHAR subtype, const char* reason) {
  PUSB_CONFIGURATION_DESCRIPTOR config = host.device()->GetConfigurationDescriptor();
  if (!reason) return;
  // A refusal that no one descriptor caused (the probe, the device's own rules).
  if (!config || (!offset && !subtype)) {
    std::printf("  %s\n", reason);
    return;
  }
  PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
      config, config, -1, -1, adapter::kAudioClass, adapter::kAudioControlSubclass, -1);
  if (!control) return;
  const auto* bytes = reinterpret_cast<const UCHAR*>(config);
  const ULONG at = static_cast<ULONG>(reinterpret_cast<const UCHAR*>(control) - bytes) + offset;
  std::printf("  descriptor at offset %u of the configuration: %s\n   ", at, reason);
  const ULONG total = config->wTotalLength;
  const ULONG length = at < total ? (bytes[at] >= 2 ? bytes[at] : 2) : 0;
  for (ULONG i = 0; i < length && at + i < total; ++i) std::printf(" %02x", bytes[at + i]);
  std::printf("\n");
}

// In the habit of amixer: the control's capability, its channels' values and the range
// (levels in dB; the node unit is 1/65536 dB).
void PrintControl(adapter::IUacEntity* e) {
  auto dB = [](LONG level) { return FormatDb(level); };
  PVOID itf = nullptr;
  if (NT_SUCCESS(e->QueryInterface(uac::IID_IBoolControl, &itf))) {
    auto* control = static_cast<uac::IBoolControl*>(itf);
    ULONG count = 0;
    control->GetChannelCount(&count);
    std::printf("    Capabilities: switch, %u channel%s\n   ", count, count == 1 ? "" : "s");
    for (ULONG c = 0; c < count; ++c) {
      UCHAR value = 0;
      if (NT_SUCCESS(control->GetValue(c, &value))) std::printf(" %u: [%s]", c, value ? "on" : "off");
    }
    std::printf("\n");
    control->Release();
  }
  if (NT_SUCCESS(e->QueryInterface(uac::IID_ILevelControl, &itf))) {
    auto* control = static_cast<uac::ILevelControl*>(itf);
    ULONG count = 0;
    control->GetChannelCount(&count);
    LONG maximum = 0, minimum = 0, step = 0;
    std::printf("    Capabilities: level, %u channel%s", count, count == 1 ? "" : "s");
    if (NT_SUCCESS(control->GetRange(&maximum, &minimum, &step))) {
      std::printf(", limits %s", dB(minimum).c_str());
      std::printf(" - %s", dB(maximum).c_str());
      std::printf(" step %s", dB(step).c_str());
    }
    std::printf("\n   ");
    for (ULONG c = 0; c < count; ++c) {
      LONG level = 0;
      if (NT_SUCCESS(control->GetLevel(c, &level))) std::printf(" %u: [%s]", c, dB(level).c_str());
    }
    std::printf("\n");
    control->Release();
  }
}

std::string SubFormatName(const WAVEFORMATEXTENSIBLE& f) {
  switch (f.SubFormat.Data1) {
    case 0x0001: return "PCM";
    case 0x0092: return "AC-3 over S/PDIF";
    case 0x0164: return "WMA Pro over S/PDIF";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(f.SubFormat.Data1));
      return text;
    }
  }
}

// One engine: its interface, direction and endpoint type, its formats grouped by
// alternate setting and layout with their rates, and its signal path (node identifiers,
// user-facing end first) with the processing nodes marked.
void PrintEngine(adapter::IStreamEngine* engine) {
  PVOID itf = nullptr;
  if (!NT_SUCCESS(engine->QueryInterface(stream::IID_IUsbStreamEngine, &itf))) return;
  auto* usb = static_cast<stream::CUsbStreamEngine*>(static_cast<stream::IUsbStreamEngine*>(itf));
  usb->Release();
  const ULONG type = engine->GetEndpointType();
  std::printf("  Engine on interface %u: %s, endpoint type %u '%s', terminal node %u\n", usb->GetEngineId(),
              engine->GetDirection() == adapter::STREAM_DIRECTION_RENDER ? "render" : "capture", type,
              EndpointTypeName(type).c_str(), usb->GetTerminalNodeId());
  struct Group {
    UCHAR alt;
    WAVEFORMATEXTENSIBLE format;
    std::string rates;
  };
  std::vector<Group> groups;
  const ULONG records = usb->GetFormatRecordCount();
  for (ULONG r = 0; r < records; ++r) {
    const stream::StreamFormatRecord* record = usb->GetFormatRecord(r);
    WAVEFORMATEXTENSIBLE key = record->Format;
    key.Format.nSamplesPerSec = key.Format.nAvgBytesPerSec = 0;
    Group* group = nullptr;
    for (Group& g : groups)
      if (g.alt == record->AlternateSetting && !std::memcmp(&g.format, &key, sizeof key)) group = &g;
    if (!group) {
      groups.push_back({record->AlternateSetting, key, {}});
      group = &groups.back();
    }
    group->rates += (group->rates.empty() ? "" : ", ") + std::to_string(record->Format.Format.nSamplesPerSec);
  }
  std::printf("    Formats (%u)\n", records);
  for (const Group& g : groups)
    std::printf("      alt %u: %u ch, %u-bit container, %u valid bits, mask 0x%x, %s; rates %s\n", g.alt,
                g.format.Format.nChannels, g.format.Format.wBitsPerSample, g.format.Samples.wValidBitsPerSample,
                static_cast<unsigned>(g.format.dwChannelMask), SubFormatName(g.format).c_str(), g.rates.c_str());
  std::printf("    Path:");
  for (ULONG n = 0; n < engine->GetNodeCount(); ++n) {
    adapter::IUacEntity* node = nullptr;
    if (!NT_SUCCESS(engine->GetNode(n, &node))) continue;
    PVOID dsp = nullptr;
    const bool processing = NT_SUCCESS(node->QueryInterface(adapter::IID_IDspNode, &dsp));
    if (processing) static_cast<PUNKNOWN>(dsp)->Release();
    std::printf(" %u '%s'%s", node->GetId(), NodeTypeName(node->GetType()), processing ? " [processing]" : "");
  }
  std::printf("\n");
}

void PrintBuilt(const DriverHost& host, adapter::IUacFunctionDescription* function) {
  adapter::IAudioHal* hal = host.hal();
  std::printf("Function: %s, vendor %04x product %04x, control interface %u\n", function->GetClassName(),
              function->GetVendorId(), function->GetProductId(), function->GetControlInterfaceNumber());
  // The configuration the device object selected (a dump may declare several).
  if (PUSB_CONFIGURATION_DESCRIPTOR config = host.device()->GetConfigurationDescriptor())
    std::printf("Configuration %u, %u bytes\n", config->bConfigurationValue, config->wTotalLength);
  std::printf("/:  Units and terminals (%u)\n", function->GetUnitCount());
  for (ULONG i = 0; i < function->GetUnitCount(); ++i) {
    adapter::IUacEntity* e = nullptr;
    UCHAR subtype = 0;
    if (!NT_SUCCESS(function->GetUnit(i, &e, &subtype))) continue;
    // A chip's own class for the unit, when its table chose one.
    std::string cls;
    PVOID itf = nullptr;
    if (NT_SUCCESS(e->QueryInterface(uac::IID_IUacUnit, &itf))) {
      auto* unit = static_cast<uac::IUacUnit*>(itf);
      if (const char* name = unit->GetClassName()) cls = std::string(" [") + name + "]";
      unit->Release();
    }
    std::printf("    |__ %s %u, sources %s%s\n", SubtypeName(subtype), e->GetId(), Sources(e).c_str(), cls.c_str());
  }
  // By the driver's entity ID (the paths and sources below use it), each with the name and
  // the node number get, set and list take.
  std::printf("Control nodes (%u)\n", hal->GetEntityCount());
  const std::vector<NamedNode> named = NameNodes(hal);
  for (ULONG i = 0; i < hal->GetEntityCount(); ++i) {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(hal->GetEntity(i, &e))) continue;
    std::string label;
    for (const NamedNode& n : named)
      if (n.entity == e) label = " [" + NodeLabel(n) + "]";
    std::printf("  Node %u '%s', sources %s%s\n", e->GetId(), NodeTypeName(e->GetType()), Sources(e).c_str(),
                label.c_str());
    PrintControl(e);
  }
  std::printf("Stream engines (%u)\n", hal->GetEngineCount());
  for (ULONG i = 0; i < hal->GetEngineCount(); ++i) {
    adapter::IStreamEngine* engine = nullptr;
    if (NT_SUCCESS(hal->GetEngine(i, &engine))) PrintEngine(engine);
  }
  adapter::EndpointCapabilityRecord t{};
  function->GetCapabilityTemplate(&t);
  std::printf("Capability record: mask 0x%08x, second value %u, feature flags 0x%08x%s\n", t.CapabilityMask,
              t.SecondValue, t.FeatureFlags, (t.FeatureFlags & adapter::ENDPOINT_FEATURE_ASIO) ? " [ASIO]" : "");
}

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

std::string Node(ULONG node) { return node == KSFILTER_NODE ? "filter" : "node " + std::to_string(node); }

// What the audio engine finds once the driver has started: every filter the device
// registered, its categories, pins, nodes and connections, and the physical connections
// between the filters.
void PrintEngineView(const DriverHost& host) {
  std::vector<platform::ks::SubdeviceInfo> filters;
  for (const auto& info : sim::engine::EnumerateFilters())
    if (info.device == host.fdo()) filters.push_back(info);
  std::printf("Engine client view: %zu filter%s\n", filters.size(), filters.size() == 1 ? "" : "s");
  for (const auto& info : filters) {
    std::string categories;
    for (const GUID& g : info.categories) categories += (categories.empty() ? "" : ", ") + GuidName(g);
    std::printf("  Filter \"%s\" [%s]\n", Narrow(info.name).c_str(), categories.c_str());
    std::unique_ptr<sim::engine::FilterClient> client;
    sim::engine::FilterDescription d;
    NTSTATUS status = sim::engine::FilterClient::Open(info, &client);
    if (NT_SUCCESS(status)) status = client->ReadDescription(&d);
    if (!NT_SUCCESS(status)) {
      std::printf("    cannot be read: %s (0x%08x)\n", StatusName(status), static_cast<unsigned>(status));
      continue;
    }
    std::printf("    Pins (%zu)\n", d.pins.size());
    for (const auto& pin : d.pins) {
      static const char* const kCommunication[] = {"none", "sink", "source", "both", "bridge"};
      std::printf("      Pin %u: %s, %s, category %s, %zu data range%s\n", pin.id,
                  pin.dataFlow == KSPIN_DATAFLOW_IN ? "in" : "out",
                  pin.communication <= KSPIN_COMMUNICATION_BRIDGE ? kCommunication[pin.communication] : "?",
                  pin.category == GUID_NULL ? "none" : GuidName(pin.category).c_str(), pin.dataRanges.size(),
                  pin.dataRanges.size() == 1 ? "" : "s");
    }
    std::printf("    Nodes (%zu)\n", d.nodeTypes.size());
    for (size_t n = 0; n < d.nodeTypes.size(); ++n)
      std::printf("      Node %zu: %s\n", n, GuidName(d.nodeTypes[n]).c_str());
    std::printf("    Connections (%zu)\n", d.connections.size());
    for (const auto& c : d.connections)
      std::printf("      %s pin %u -> %s pin %u\n", Node(c.FromNode).c_str(), c.FromNodePin, Node(c.ToNode).c_str(),
                  c.ToNodePin);
  }
  std::printf("Physical connections\n");
  for (const auto& c : platform::ks::EnumeratePhysicalConnections())
    if (c.device == host.fdo())
      std::printf("  \"%s\" pin %u -> \"%s\" pin %u\n", Narrow(c.fromName).c_str(), c.fromPin,
                  Narrow(c.toName).c_str(), c.toPin);
}

// Starts the driver for a second copy of the device as Plug and Play would and prints
// what the engine client sees; a start that fails is reported and leaves the exit code
// to the model's outcome.
int DescribeEngineView(std::unique_ptr<sim::device::SimDevice> sim, const BehaviourProfile& behaviour,
                       const std::string& file, const std::string& state, bool empty) {
  DriverHost host;
  std::string error;
  if (!LoadState(host, state, *sim, file, error)) {
    Error("describe: %s", error.c_str());
    return kExitUsage;
  }
  for (const auto& [name, value] : behaviour.settings) host.PreloadSetting(name, value);
  const NTSTATUS status = host.StartDriver(std::move(sim));
  int exitCode = kExitOk;
  if (NT_SUCCESS(status)) {
    PrintEngineView(host);
  } else {
    std::printf("Engine client view: the driver refused the start: %s (0x%08x)\n", StatusName(status),
                static_cast<unsigned>(status));
    if (empty)
      std::printf("  the audio function has no units, terminals or stream engines (a function of MIDI or\n"
                  "  other interfaces only), so the driver has no topology to register for the audio engine\n");
    exitCode = kExitRefused;
  }
  return Finish(host, exitCode);
}

int Describe(const std::string& file, bool modelString, const std::string& profilePath, const std::string& state) {
  BehaviourProfile behaviour;
  std::string error;
  if (!profilePath.empty() && !LoadBehaviourProfile(profilePath, behaviour, error)) {
    Error("%s", error.c_str());
    return kExitUsage;
  }
  std::unique_ptr<sim::device::SimDevice> sim, second;
  std::vector<std::string> again;  // the second copy's warnings are the first's
  if (!LoadDevice(file, modelString, sim, error, &behaviour) ||
      !LoadDevice(file, modelString, second, error, &behaviour, &again)) {
    Error("%s", error.c_str());
    return kExitUsage;
  }
  DriverHost host;
  if (!LoadState(host, state, *sim, file, error)) {
    Error("describe: %s", error.c_str());
    return Finish(host, kExitUsage);
  }
  for (const auto& [name, value] : behaviour.settings) host.PreloadSetting(name, value);
  const NTSTATUS status = host.Start(std::move(sim));
  adapter::IUacFunctionDescription* function = Description(host.hal());
  ULONG faultOffset = 0;
  UCHAR faultSubtype = 0;
  const char* fault = function ? function->GetDescriptorFault(&faultOffset, &faultSubtype) : nullptr;
  int exitCode = kExitOk;
  if (NT_SUCCESS(status) && function) {
    PrintBuilt(host, function);
  } else {
    std::printf("Refused: %s (0x%08x)\n", StatusName(status), static_cast<unsigned>(status));
    if (fault)
      PrintFault(host, faultOffset, faultSubtype, fault);
    else if (function)
      std::printf("  refused by the probe\n");
    else if (status == STATUS_NOT_SUPPORTED)
      std::printf("  no function class of this kind is built yet\n");
    exitCode = kExitRefused;
  }
  const bool empty = exitCode == kExitOk && !function->GetUnitCount() && !host.hal()->GetEngineCount();
  exitCode = Finish(host, exitCode);
  if (exitCode == kExitOk) exitCode = DescribeEngineView(std::move(second), behaviour, file, state, empty);
  return exitCode;
}

}  // namespace

const char kDescribeHelp[] =
    "usage: uactool describe [--no-model-string] [--profile PROFILE] [--state FILE.reg] [--device FILE | FILE]\n"
    "\n"
    "Loads a device file (lsusb -v text or raw descriptor hex), or the built-in default device\n"
    "when no FILE is given, starts a simulated device from it, runs the driver's probe and\n"
    "builders and prints what was built: the function, its units and terminals with their IDs\n"
    "and sources, the control nodes, the stream engines (interface, direction, endpoint type,\n"
    "formats by alternate setting with their rates, path from the user-facing terminal) and the\n"
    "capability record; on refusal the status, what the driver found and the descriptor at\n"
    "fault. For a device that built, the driver is then loaded and started as Plug and Play\n"
    "does, and what the audio engine sees is printed: each filter with its categories, pins,\n"
    "nodes and connections, and the physical connections between the filters.\n"
    "\n"
    "A device file's device answers string index 0x50 with the neutral model string\n"
    "\"SIMULATED-UAC\", which matches no chip prefix (real dumps rarely carry a model string,\n"
    "and a UAC 1.0 device without one is refused).\n"
    "  --device FILE      the device file, as the other verbs take it\n"
    "  --state FILE.reg   the devices' states (default uactool.reg; read only)\n"
    "  --no-model-string  answer no model string at 0x50 or 0x32, as the dump has it\n"
    "  --profile PROFILE  a behaviour profile: what the device answers beyond its\n"
    "                     descriptors, one entry per line ('#' comments, hex numbers):\n"
    "      model 000B 0005 0050 0041   the model string as UTF-16 code units (at index 0x50)\n"
    "      model-index 32              answer the model string at index 0x32 instead\n"
    "      vendor C3 81 0000 0009 9F   a vendor register read: bmRequestType, bRequest,\n"
    "                                  wValue, wIndex, then the bytes it answers\n"
    "      registers 2004 3002 F800 143F 0000 3000\n"
    "                                  six 16-bit chip registers written with HID reports\n"
    "                                  on interface 3\n"
    "      setting SupportHPOut 0      a \"Settings\" DWORD preloaded (decimal, or 0x hex)\n"
    "\n"
    "exit codes: 0 built, 1 refused by the driver (its build or its start), 2 usage or file\n"
    "error, 3 verifier report\n";

int RunDescribe(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, {"--profile", "--device", "--state"}, {"--no-model-string"}, args, error)) {
    Error("describe: %s (see uactool describe --help)", error.c_str());
    return kExitUsage;
  }
  if (args.help) {
    std::fputs(kDescribeHelp, stdout);
    return kExitOk;
  }
  const auto device = args.Value("--device");
  if (args.operands.size() + (device ? 1 : 0) > 1) {
    Error("describe: one device file at most (see uactool describe --help)");
    return kExitUsage;
  }
  return Describe(device ? *device : args.operands.empty() ? std::string() : args.operands[0],
                  !args.Has("--no-model-string"), args.Value("--profile").value_or(""),
                  args.Value("--state").value_or(kDefaultStateFile));
}

}  // namespace tools
