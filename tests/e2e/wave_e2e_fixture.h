// The driver end to end through PortCls: a simulated UAC 1.0 device started under the
// real function and streaming builder, its engines' wave subdevices installed with the
// WaveCyclic miniport (their bridge pins joined to a stand-in topology filter), and the
// simulated audio-engine client opening their pins and streaming.
#pragma once

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "fake_miniports.h"
#include "filters/miniport_wave_cyclic.h"
#include "iso_stream_fixture.h"
#include "sim/engine/engine.h"

namespace wave_e2e {

// The sample of a sine at `frequency` Hz, as a 16-bit client writes it: frame n of a
// stream at `rate`, started at `phase`.
inline short Sine16(ULONG64 frame, double frequency, ULONG rate, double amplitude = 12000.0, double phase = 1.0) {
  return static_cast<short>(
      std::lround(amplitude * std::sin(2.0 * M_PI * frequency * static_cast<double>(frame) / rate + phase)));
}

class WaveEndToEnd : public iso_test::IsoStreamTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs a device dump (or the synthetic speaker and microphone) and starts the driver.
  NTSTATUS StartDump(const std::string& dump, sim::device::DeviceProfile profile = {});
  // Installs every engine's wave subdevice, named as the start routine names them.
  void InstallSubdevices();
  // The wave filter of the name, opened as the engine client opens it.
  std::unique_ptr<sim::engine::FilterClient> OpenFilter(const std::u16string& name);
  // Opens the streaming pin with the format (a KS data format of the extensible layout).
  NTSTATUS OpenStream(sim::engine::FilterClient& filter, const WAVEFORMATEXTENSIBLE& format,
                      sim::engine::StreamOptions options, std::unique_ptr<sim::engine::Stream>* stream);
  // Fails the test on every finding of the engine client's checks.
  static void ExpectNoFindings(const sim::engine::Stream& stream);

  PDEVICE_OBJECT subdeviceDevice_ = nullptr;
  fakes::FakeTopologyMiniport* topology_ = nullptr;
  PPORT topologyPort_ = nullptr;
  adapter::IMiniportPinMap* pinMap_ = nullptr;
  std::vector<adapter::IStreamEngine*> installed_;
};

}  // namespace wave_e2e
