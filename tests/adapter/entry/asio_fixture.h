// A UAC 2.0 device with two render and one capture ASIO endpoints, started by Plug and
// Play through the whole driver, and simulated ASIO clients on its private interface.
//
// The device: one clock (44.1 to 384 kHz), speakers fed by a 2-channel stream (PCM 16-bit,
// PCM 24-in-32-bit, DSD in 32-bit words), headphones fed by a 2-channel stream (PCM
// 16-bit, 24-in-32, 32-bit, DSD), and a microphone stream of 4 PCM channels (24-in-32,
// 16-bit) and 2 DSD channels. Every endpoint offers types 16 and 27; DSD runs at 64, 128
// and 256 times 44.1 and 48 kHz (a 32-bit word at 88.2 to 384 kHz per channel pair).
#pragma once

#include <memory>
#include <vector>

#include "adapter/asio_private.h"
#include "adapter/usb_audio_device.h"
#include "entry_fixture.h"
#include "sim/engine/asio_client.h"

namespace entry_test {

using Bytes = std::vector<UCHAR>;

// Descriptors of the test device, and its profile (product string included).
Bytes AsioDeviceDescriptor();
Bytes AsioConfiguration();
sim::device::DeviceProfile AsioProfile();
// The product string the device reports (with trailing spaces it drops).
inline constexpr char16_t kAsioProductString[] = u"Studio Interface 4x2   ";
inline constexpr char kAsioDriverName[] = "Studio Interface 4x2";

// The clock's rates, every one offered as PCM; the PCM rates the tests sweep; the DSD
// rates the raw-data settings carry.
inline constexpr ULONG kClockRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
inline constexpr ULONG kPcmRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
inline constexpr ULONG kDsdRates[] = {2822400, 3072000, 5644800, 6144000, 11289600, 12288000};

class AsioTest : public DriverTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the device (or `configuration`), adds and starts it.
  void StartAsioDevice();
  void StartAsioDevice(const Bytes& configuration);
  // A new client of the started device, opened (32- or 64-bit).
  std::unique_ptr<sim::engine::AsioClient> NewClient(bool is32Bit = false);

  adapter::CUsbAudioDevice* device() { return static_cast<adapter::CUsbAudioDevice*>(hal()); }
  // The power state PortCls hands the adapter.
  void SetPower(DEVICE_POWER_STATE state);

  std::vector<std::unique_ptr<sim::engine::AsioClient>> clients_;
};

}  // namespace entry_test
