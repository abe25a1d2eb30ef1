// The INI import against arbitrary file bytes: a simulated device, an in-memory registry
// and the file in a temporary system root. Besides memory errors it checks that every
// import leaves no pool block or handle behind and writes only values the format allows.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "adapter/ini_file.h"
#include "adapter/ini_parse.h"
#include "kernel/device_registry.h"
#include "kernel/file.h"
#include "kernel/ob.h"
#include "kernel/pool.h"
#include "kernel/registry.h"

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
  platform::pnp::UnregisterAllDevices();
  return 0;
}
