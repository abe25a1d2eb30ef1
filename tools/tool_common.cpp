#include "tool_common.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "adapter/audio_class.h"
#include "adapter/device_extension.h"
#include "portcls/ksmedia.h"
#include "adapter/endpoint_type.h"
#include "kernel/device_registry.h"
#include "kernel/registry.h"
#include "sim/device/default_device.h"

namespace tools {
namespace {

// The model string a device file's device answers at string index 0x50. It starts with
// no chip prefix, so a UAC 1.0 device gets the plain function and an empty capability
// template.
constexpr char16_t kNeutralModel[] = u"SIMULATED-UAC";

}  // namespace

void Error(const char* format, ...) {
  std::fflush(stdout);  // what was printed before the error stays before it
  std::fputs("uactool: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

void Warn(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "uactool: warning: %s\n", text.c_str());
}

bool Arguments::Has(const std::string& name) const {
  for (const auto& [option, value] : options)
    if (option == name) return true;
  return false;
}

std::optional<std::string> Arguments::Value(const std::string& name) const {
  std::optional<std::string> last;
  for (const auto& [option, value] : options)
    if (option == name) last = value;
  return last;
}

bool ParseArguments(int argc, char** argv, const std::vector<std::string>& valued, const std::vector<std::string>& flags,
                    Arguments& out, std::string& error) {
  auto in = [](const std::vector<std::string>& list, const std::string& s) {
    for (const auto& e : list)
      if (e == s) return true;
    return false;
  };
  bool operandsOnly = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    // A lone "-" and negative numbers ("-6dB") are operands.
    const bool option = !operandsOnly && arg.size() > 1 && arg[0] == '-' &&
                        !((arg[1] >= '0' && arg[1] <= '9') || arg[1] == '.') && arg != "-inf";
    if (!option) {
      out.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      operandsOnly = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    if (auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    if (in(valued, arg)) {
      if (!hasValue) {
        if (i + 1 >= argc) {
          error = "option " + arg + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      out.options.emplace_back(arg, value);
    } else if (in(flags, arg) && !hasValue) {
      out.options.emplace_back(arg, "");
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

bool LoadDevice(const std::string& file, bool modelString, std::unique_ptr<sim::device::SimDevice>& out,
                std::string& error, const BehaviourProfile* behaviour, std::vector<std::string>* warnings) {
  if (file.empty()) {
    sim::device::DeviceProfile profile = sim::device::default_device::Profile();
    if (behaviour) ApplyStrings(*behaviour, profile);
    out = sim::device::default_device::Create(std::move(profile));
    if (!out) error = "the built-in default device does not build";
    if (out && behaviour) ApplyDevice(*behaviour, *out);
    return out != nullptr;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in || std::filesystem::is_directory(file)) {
    error = file + ": cannot open the file";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  sim::device::DeviceProfile profile;
  if (modelString) profile.strings[adapter::kModelStringIndex] = kNeutralModel;
  if (behaviour) ApplyStrings(*behaviour, profile);
  if (!sim::device::SimDevice::FromDumpText(text.str(), std::move(profile), out, error)) {
    error = file + ": " + error;
    return false;
  }
  if (behaviour) ApplyDevice(*behaviour, *out);
  const auto config = out->descriptors().configuration();
  if (config.size() >= 4) {
    const unsigned declared = config[2] | config[3] << 8;
    if (config.size() < declared) {
      const std::string text = file + ": the configuration holds " + std::to_string(config.size()) + " of the " +
                               std::to_string(declared) +
                               " bytes its wTotalLength declares (the dump is cut short); what is missing is left out";
      if (warnings)
        warnings->push_back(text);
      else
        Warn(text);
    }
  }
  return true;
}

std::string DeviceLabel(const std::string& file) { return file.empty() ? "the built-in default device" : file; }

namespace {

// Where the states of every device live in the registry while a verb runs.
constexpr char16_t kStateRoot[] = u"\\Registry\\Machine\\Software\\uactool\\Devices";

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Letters, digits, '.', '-' and '_' as they are; anything else as '_' (a key name holds
// no backslash).
std::string KeyText(const std::string& text) {
  std::string out;
  for (char c : text)
    out += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') ? c : '_';
  return out;
}

// The device's serial number string as the device answers it; empty without one.
std::string SerialNumber(sim::device::SimDevice& sim) {
  const auto d = sim.descriptors().device();
  if (d.size() < 18 || !d[16]) return {};
  const UCHAR index = d[16];
  std::uint8_t data[255] = {};
  USB_DEFAULT_PIPE_SETUP_PACKET setup{0x80, 6, static_cast<USHORT>(0x0300 | index), 0x0409, sizeof data};
  const platform::usb::ControlResult r = sim.Control(setup, data);
  if (r.status != USBD_STATUS_SUCCESS || r.length < 4) return {};
  std::string serial;
  for (ULONG at = 2; at + 1 < std::min<ULONG>(r.length, data[0]); at += 2) {
    const unsigned c = data[at] | data[at + 1] << 8;
    serial += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '_';
  }
  // A device file without the string's text answers the placeholder "String N": no serial.
  if (serial == "String " + std::to_string(index)) return {};
  return serial;
}

}  // namespace

std::string DeviceStateKey(sim::device::SimDevice& sim, const std::string& deviceFile) {
  const auto d = sim.descriptors().device();
  char text[32] = "VID_0000&PID_0000";
  if (d.size() >= 12) std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", d[8] | d[9] << 8, d[10] | d[11] << 8);
  std::string key = text;
  if (const std::string serial = SerialNumber(sim); !serial.empty())
    key += "&SN_" + KeyText(serial);
  else if (!deviceFile.empty())
    key += "&FILE_" + KeyText(std::filesystem::path(deviceFile).filename().string());
  return key;
}

bool LoadState(DriverHost& host, const std::string& stateFile, sim::device::SimDevice& sim,
               const std::string& deviceFile, std::string& error) {
  std::error_code ec;
  if (std::filesystem::exists(stateFile, ec)) {
    platform::registry::LoadResult result = platform::registry::LoadRegFile(stateFile);
    if (!result) {
      error = stateFile + ": " + result.error;
      return false;
    }
  }
  host.PreloadTree(std::u16string(kStateRoot) + u"\\" + Widen(DeviceStateKey(sim, deviceFile)));
  return true;
}

bool StateWritable(const std::string& stateFile, std::string& error) {
  std::error_code ec;
  const bool existed = std::filesystem::exists(stateFile, ec);
  const bool ok = !std::filesystem::is_directory(stateFile, ec) && std::ofstream(stateFile, std::ios::app).good();
  if (!existed && ok) std::filesystem::remove(stateFile, ec);
  if (!ok) error = stateFile + ": cannot write the state file: " + std::strerror(errno ? errno : EACCES);
  return ok;
}

bool SaveState(const DriverHost& host, const std::string& stateFile, std::string& error) {
  const std::u16string key = host.DriverKeyPath();
  if (key.empty() || host.preloadTree().empty()) {
    error = stateFile + ": the device has no driver key";
    return false;
  }
  platform::registry::DeleteTree(host.preloadTree());
  CopyRegistryTree(key, host.preloadTree());
  std::string why;
  if (!platform::registry::SaveRegFile(stateFile, kStateRoot, platform::registry::RegFileEncoding::Utf8, &why)) {
    error = stateFile + ": " + why;
    return false;
  }
  return true;
}

int StartWithState(DriverHost& host, const char* verb, const std::string& deviceFile, bool modelString,
                   const std::string& stateFile, bool plugAndPlay, double clockPpm) {
  std::string error;
  std::unique_ptr<sim::device::SimDevice> sim;
  if (!LoadDevice(deviceFile, modelString, sim, error) || !LoadState(host, stateFile, *sim, deviceFile, error)) {
    Error("%s: %s", verb, error.c_str());
    return kExitUsage;
  }
  sim->SetClockPpm(clockPpm);
  sim->SetSignal(kCaptureSignal);
  return StartDevice(host, std::move(sim), plugAndPlay) ? kExitOk : kExitRefused;
}

bool StartDevice(DriverHost& host, std::unique_ptr<sim::device::SimDevice> device, bool plugAndPlay) {
  const NTSTATUS status = plugAndPlay ? host.StartDriver(std::move(device)) : host.Start(std::move(device));
  if (NT_SUCCESS(status) && host.hal()) return true;
  adapter::IUacFunctionDescription* function = Description(host.hal());
  const char* fault = function ? function->GetDescriptorFault(nullptr, nullptr) : nullptr;
  Error("the driver refused the device: %s (0x%08x)%s%s%s", StatusName(status), static_cast<unsigned>(status),
        fault ? ": " : "", fault ? fault : "", plugAndPlay && !fault ? " (uactool describe says why)" : "");
  return false;
}

int Finish(DriverHost& host, int exitCode) {
  host.Stop();
  for (const std::string& report : host.reports()) Error("%s", report.c_str());
  return host.reports().empty() ? exitCode : kExitVerifier;
}

const char* StatusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED: return "STATUS_NOT_IMPLEMENTED";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_INVALID_BUFFER_SIZE: return "STATUS_INVALID_BUFFER_SIZE";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_NO_MEMORY: return "STATUS_NO_MEMORY";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_DEVICE_REMOVED: return "STATUS_DEVICE_REMOVED";
    case STATUS_DEVICE_BUSY: return "STATUS_DEVICE_BUSY";
    case STATUS_DEVICE_DATA_ERROR: return "STATUS_DEVICE_DATA_ERROR";
    case STATUS_DEVICE_CONFIGURATION_ERROR: return "STATUS_DEVICE_CONFIGURATION_ERROR";
    case STATUS_NO_SUCH_DEVICE: return "STATUS_NO_SUCH_DEVICE";
    case STATUS_NO_MATCH: return "STATUS_NO_MATCH";
    case STATUS_NOT_FOUND: return "STATUS_NOT_FOUND";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_BUFFER_OVERFLOW: return "STATUS_BUFFER_OVERFLOW";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_IO_TIMEOUT: return "STATUS_IO_TIMEOUT";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_POWER_STATE_INVALID: return "STATUS_POWER_STATE_INVALID";
    case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
    case STATUS_DATA_ERROR: return "STATUS_DATA_ERROR";
    case STATUS_REVISION_MISMATCH: return "STATUS_REVISION_MISMATCH";
    default: return "an unnamed status";
  }
}

const char* NodeTypeName(ULONG type) {
  static const char* const kNames[] = {"input terminal", "output terminal", "mute",       "volume",
                                       "selector",       "mixer",           "AGC",        "loudness",
                                       "input gain pad", "bass",            "mid",        "treble",
                                       "sample rate",    "terminal kind"};
  if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
  if (type == 18) return "vendor switch";
  if (type == 22) return "gain switch";
  if (type == 23) return "vendor effect";
  return "node";
}

std::string EndpointTypeName(ULONG type) {
  PCWSTR prefix = adapter::EndpointTypePrefix(type);
  std::string text;
  for (; prefix && *prefix; ++prefix) text += static_cast<char>(*prefix);
  return text.empty() ? "?" : text;
}

// The description of the function behind the device, or null (e.g. the class has no
// factory yet). The device object holds the function; the reference goes back at once.
adapter::IUacFunctionDescription* Description(adapter::IAudioHal* hal) {
  PVOID itf = nullptr;
  if (!hal || !NT_SUCCESS(hal->QueryInterface(adapter::IID_IUacFunctionDescription, &itf))) return nullptr;
  auto* description = static_cast<adapter::IUacFunctionDescription*>(itf);
  description->Release();
  return description;
}

std::string GuidName(const GUID& g) {
  struct Known {
    const GUID* guid;
    const char* name;
  };
  static const Known kKnown[] = {
      {&KSCATEGORY_AUDIO, "audio"},
      {&KSCATEGORY_RENDER, "render"},
      {&KSCATEGORY_CAPTURE, "capture"},
      {&KSCATEGORY_TOPOLOGY, "topology"},
      {&adapter::GUID_ENUM_PRIVATE_INTERFACE, "enumeration"},
      {&KSNODETYPE_DAC, "DAC"},
      {&KSNODETYPE_ADC, "ADC"},
      {&KSNODETYPE_MUX, "selector"},
      {&KSNODETYPE_SUM, "sum"},
      {&KSNODETYPE_MUTE, "mute"},
      {&KSNODETYPE_VOLUME, "volume"},
      {&KSNODETYPE_TONE, "tone"},
      {&KSNODETYPE_AGC, "AGC"},
      {&KSNODETYPE_LOUDNESS, "loudness"},
      {&KSNODETYPE_DEV_SPECIFIC, "device specific"},
      {&KSNODETYPE_HDMI_INTERFACE, "HDMI"},
      {&KSNODETYPE_DISPLAYPORT_INTERFACE, "DisplayPort"},
      {&KSAUDFNAME_BASS, "bass"},
      {&KSAUDFNAME_TREBLE, "treble"},
      {&KSAUDFNAME_MIDRANGE, "mid"},
      {&KSDATAFORMAT_SUBTYPE_PCM, "PCM"},
      {&KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, "IEEE float"},
      {&KSDATAFORMAT_SUBTYPE_ANALOG, "analog"},
      {&AUDIO_SIGNALPROCESSINGMODE_DEFAULT, "default mode"},
      {&AUDIO_SIGNALPROCESSINGMODE_RAW, "raw mode"},
  };
  for (const Known& k : kKnown)
    if (IsEqualGUID(g, *k.guid)) return k.name;
  // USB terminal types map onto one GUID range.
  struct Terminal {
    USHORT type;
    const char* name;
  };
  static const Terminal kTerminals[] = {
      {0x0200, "input"},         {0x0201, "microphone"},     {0x0202, "desktop microphone"},
      {0x0203, "personal microphone"}, {0x0204, "omni-directional microphone"}, {0x0205, "microphone array"},
      {0x0206, "processing microphone array"}, {0x0300, "output"}, {0x0301, "speaker"},
      {0x0302, "headphones"},    {0x0303, "head-mounted display audio"}, {0x0304, "desktop speaker"},
      {0x0305, "room speaker"},  {0x0306, "communication speaker"}, {0x0307, "low-frequency effects speaker"},
      {0x0400, "bidirectional"}, {0x0401, "handset"},        {0x0402, "headset"},
      {0x0403, "speakerphone"},  {0x0404, "echo-suppressing speakerphone"}, {0x0405, "echo-cancelling speakerphone"},
      {0x0500, "telephony"},     {0x0501, "phone line"},     {0x0502, "telephone"},
      {0x0503, "down-line phone"}, {0x0600, "external"},     {0x0601, "analog connector"},
      {0x0602, "digital audio interface"}, {0x0603, "line connector"}, {0x0604, "legacy audio connector"},
      {0x0605, "S/PDIF"},        {0x0606, "1394 DA stream"}, {0x0607, "1394 DV stream soundtrack"},
  };
  const GUID base = UsbTerminalNodeType(0);
  if (!std::memcmp(&base.Data2, &g.Data2, sizeof g - sizeof g.Data1) && g.Data1 >= base.Data1 &&
      g.Data1 < base.Data1 + 0x0800) {
    const auto type = static_cast<USHORT>(g.Data1 - base.Data1);
    for (const Terminal& t : kTerminals)
      if (t.type == type) return t.name;
    char text[32];
    std::snprintf(text, sizeof text, "USB terminal 0x%04x", static_cast<unsigned>(type));
    return text;
  }
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

std::string FormatDb(LONG level) {
  if (level == LONG(0x80000000)) return "-inf dB";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", level / 65536.0);
  return text;
}

}  // namespace tools
