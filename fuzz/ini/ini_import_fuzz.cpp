// The INI import against arbitrary file bytes: a simulated device, an in-memory registry
// and the file in a temporary system root. Besides memory errors it checks that every
// import leaves no pool block or handle behind, writes only values the format allows, and
// writes each value from a key line of one of the model's own sections.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "adapter/ini_file.h"
#include "adapter/ini_parse.h"
#include "kernel/device_registry.h"
#include "kernel/file.h"
#include "kernel/ob.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "kernel/rtl.h"

namespace {

namespace reg = platform::registry;

alignas(16) unsigned char gDevice[64];
PDEVICE_OBJECT Device() { return reinterpret_cast<PDEVICE_OBJECT>(gDevice); }

// The temporary system root; a plain array, so the exit handler that removes the folder
// never sees a destroyed object.
char gRoot[] = "/tmp/ua_ini_fuzz_XXXXXX";

const char* Root() {
  static const bool made = [] {
    if (!::mkdtemp(gRoot)) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(gRoot, ec);
    });
    platform::files::SetSystemRoot(gRoot);
    return true;
  }();
  (void)made;
  return gRoot;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "INI import invariant broken: %s\n", what);
    std::abort();
  }
}

// Every value below Settings: at most the format's data size and a key of at most the
// token limit.
void CheckSettings(const std::u16string& path) {
  for (const auto& name : reg::ValueNames(path)) {
    Check(!name.empty() && name.size() <= ini::kMaxValueToken, "value name length");
    Check(reg::GetValue(path, name)->data.size() <= ini::kMaxValueBytes, "value size");
  }
  for (const auto& sub : reg::SubKeys(path)) {
    Check(sub.size() <= ini::kMaxSubKeyName, "sub-key name length");
    CheckSettings(path + u"\\" + sub);
  }
}

// The file as lines, split as the reader splits them (CR, CR LF or LF) and cut at the
// line limit.
struct FileLine {
  std::string text;
  bool cut;
};
std::vector<FileLine> SplitLines(const uint8_t* data, size_t size) {
  std::vector<FileLine> lines;
  for (size_t i = 0; i < size;) {
    size_t end = i;
    while (end < size && data[end] != '\r' && data[end] != '\n') ++end;
    const size_t length = end - i;
    lines.push_back({std::string(reinterpret_cast<const char*>(data + i), std::min<size_t>(length, ini::kMaxLine)),
                     length > ini::kMaxLine});
    i = end + 1;
    if (end + 1 < size && data[end] == '\r' && data[end + 1] == '\n') ++i;
  }
  return lines;
}

std::u16string Wide(const std::string& s) {
  std::u16string out;
  for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

// Registry names compare without case.
bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  return true;
}

// A value `name` of sub-key `subKey` (empty: Settings itself) was written from a whole key
// line whose section header, the nearest line above beginning with '[', names the model
// ("[model]") or the model and that sub-key ("[model:subKey]").
bool FromModelSection(const std::vector<FileLine>& lines, const std::string& model, const std::u16string& subKey,
                      const std::u16string& name) {
  const std::string* header = nullptr;
  for (const auto& line : lines) {
    if (!line.text.empty() && line.text[0] == '[') {
      header = &line.text;
      continue;
    }
    if (!header || line.cut) continue;
    const std::string plain = "[" + model + "]";
    const std::string prefix = "[" + model + ":";
    bool inSection;
    if (subKey.empty()) {
      inSection = header->compare(0, plain.size(), plain) == 0;
    } else {
      const size_t close = header->find(']', prefix.size());
      inSection = header->compare(0, prefix.size(), prefix) == 0 && close != std::string::npos &&
                  SameName(Wide(header->substr(prefix.size(), close - prefix.size())), subKey);
    }
    const size_t eq = line.text.find('=');
    if (!inSection || eq == std::string::npos || eq == 0) continue;
    const size_t first = line.text.find_first_not_of(" \t");
    const size_t last = line.text.find_last_not_of(" \t", eq - 1);
    if (first < eq && last != std::string::npos && SameName(Wide(line.text.substr(first, last + 1 - first)), name))
      return true;
  }
  return false;
}

// The model the reader finds for the device in the file, or none.
std::string ModelOfDevice() {
  std::string model;
  CIniFile* reader = new (NonPagedPool, INI_FILE_POOL_TAG) CIniFile;
  if (reader && NT_SUCCESS(reader->Init(Device())) && NT_SUCCESS(reader->OpenModel())) model = reader->ModelName();
  delete reader;
  return model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path root = Root();
  reg::Clear();
  platform::pnp::DeviceConfig config;
  config.deviceId = u"USB\\VID_0B05&PID_17F3";
  Check(platform::pnp::RegisterDevice(Device(), config), "device registration");
  {
    std::ofstream out(root / "AUBRICPRO.INI", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::string model = ModelOfDevice();  // before the import can change "ModuleName"
  const size_t handles = platform::ob::OpenHandleCount();
  const platform::pool::LeakScope leaks;

  ImportIniFile(Device());

  Check(leaks.Live().empty(), "pool blocks left by the import");
  Check(platform::ob::OpenHandleCount() == handles, "handles left by the import");
  const std::u16string settings = platform::pnp::DriverKeyPath(Device()) + u"\\Settings";
  if (auto version = reg::GetValue(settings, u"IniVersion")) {
    Check(version->data.size() == 4, "IniVersion size");
    Check(version->data != std::vector<UCHAR>(4, 0), "IniVersion 0 written");
  }
  CheckSettings(settings);
  const auto lines = SplitLines(data, size);
  for (const auto& name : reg::ValueNames(settings))
    Check(name == u"IniVersion" || FromModelSection(lines, model, u"", name), "value from outside the model's sections");
  for (const auto& sub : reg::SubKeys(settings)) {
    Check(reg::SubKeys(settings + u"\\" + sub).empty(), "sub-key below a sub-key");
    for (const auto& name : reg::ValueNames(settings + u"\\" + sub))
      Check(FromModelSection(lines, model, sub, name), "sub-key value from outside the model's sections");
  }
  platform::pnp::UnregisterAllDevices();
  return 0;
}
