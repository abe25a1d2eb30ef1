#include "tool_common.h"

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "adapter/audio_class.h"
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
                std::string& error, const BehaviourProfile* behaviour) {
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
  return true;
}

std::string DeviceLabel(const std::string& file) { return file.empty() ? "the built-in default device" : file; }

bool LoadSettingsFile(const std::string& file, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;  // no state yet
  platform::registry::LoadResult result = platform::registry::LoadRegFile(file);
  if (!result) {
    error = file + ": " + result.error;
    return false;
  }
  return true;
}

bool SaveSettingsFile(const std::string& file, const DriverHost& host, std::string& error) {
  const std::u16string key = host.DriverKeyPath();
  if (key.empty()) {
    error = file + ": the device has no driver key";
    return false;
  }
  std::string why;
  if (!platform::registry::SaveRegFile(file, key, platform::registry::RegFileEncoding::Utf8, &why)) {
    error = file + ": " + why;
    return false;
  }
  return true;
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
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_NO_MATCH: return "STATUS_NO_MATCH";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    default: return "status";
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

std::string FormatDb(LONG level) {
  if (level == LONG(0x80000000)) return "-inf dB";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", level / 65536.0);
  return text;
}

}  // namespace tools
