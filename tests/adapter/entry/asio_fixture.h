// The ASIO test device (sim/device/asio_device.h: two render and one capture endpoint
// offering PCM 16-bit, 24-in-32-bit and DSD) started by Plug and Play through the whole
// driver, and simulated ASIO clients on its private interface.
#pragma once

#include <memory>
#include <vector>

#include "adapter/asio_private.h"
#include "adapter/usb_audio_device.h"
#include "entry_fixture.h"
#include "sim/device/asio_device.h"
#include "sim/engine/asio_client.h"

namespace entry_test {

using Bytes = std::vector<UCHAR>;

inline constexpr char kAsioDriverName[] = "Studio Interface 4x2";
// The PCM rates the tests sweep, and the DSD rates the raw-data settings carry.
inline constexpr ULONG kPcmRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
inline constexpr ULONG kDsdRates[] = {2822400, 3072000, 5644800, 6144000, 11289600, 12288000};

class AsioTest : public DriverTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the device (or `configuration`), adds and starts it.
  void StartAsioDevice();
  void StartAsioDevice(const Bytes& configuration);
  // Plugs another device (its descriptors and profile), adds and starts it.
  void StartAsioDevice(const Bytes& device, const Bytes& configuration, sim::device::DeviceProfile profile);
  // A new client of the started device, opened (32- or 64-bit).
  std::unique_ptr<sim::engine::AsioClient> NewClient(bool is32Bit = false);

  // The active ring of a direction among the client's rings, or null.
  static void* ActiveRing(const sim::engine::AsioClient& client, bool input);

  adapter::CUsbAudioDevice* device() { return static_cast<adapter::CUsbAudioDevice*>(hal()); }
  // The power state PortCls hands the adapter.
  void SetPower(DEVICE_POWER_STATE state);

  std::vector<std::unique_ptr<sim::engine::AsioClient>> clients_;
};

}  // namespace entry_test
