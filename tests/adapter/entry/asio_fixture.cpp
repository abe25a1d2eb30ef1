#include "asio_fixture.h"

#include "entry/driver_layers.h"
#include "kernel/po.h"
#include "sim/device/descriptor_set.h"
#include "sim/engine/asio_ring.h"

namespace entry_test {

void AsioTest::SetUp() {
  DriverTest::SetUp();
  entry::RegisterDriverLayers();
}

void AsioTest::TearDown() {
  clients_.clear();
  DriverTest::TearDown();
}

void AsioTest::StartAsioDevice() { StartAsioDevice(sim::device::asio_device::ConfigurationDescriptor()); }

void AsioTest::StartAsioDevice(const Bytes& configuration) {
  StartAsioDevice(sim::device::asio_device::DeviceDescriptor(), configuration, sim::device::asio_device::Profile());
}

void AsioTest::StartAsioDevice(const Bytes& device, const Bytes& configuration, sim::device::DeviceProfile profile) {
  sim::device::DescriptorSet set;
  std::string error;
  ASSERT_TRUE(sim::device::DescriptorSet::Build(device, configuration, set, error)) << error;
  sim_ = std::make_unique<sim::device::SimDevice>(std::move(set), std::move(profile));
  Attach();
  ASSERT_EQ(Add(), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
}

std::unique_ptr<sim::engine::AsioClient> AsioTest::NewClient(bool is32Bit) {
  auto client = std::make_unique<sim::engine::AsioClient>(fdo(), is32Bit);
  EXPECT_EQ(client->Open(), STATUS_SUCCESS);
  return client;
}

void* AsioTest::ActiveRing(const sim::engine::AsioClient& client, bool input) {
  for (size_t i = 0; i < client.addresses().size(); ++i) {
    void* ring = client.Ring(i);
    if (!ring) continue;
    sim::engine::AsioRing view(ring, 1);
    if (view.Read(sim::engine::AsioRing::kActive) && view.Read(sim::engine::AsioRing::kIsInput) == (input ? 1u : 0u))
      return ring;
  }
  return nullptr;
}

namespace {
struct PowerWait {
  KEVENT done;
};
VOID PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  KeSetEvent(&static_cast<PowerWait*>(context)->done, IO_NO_INCREMENT, FALSE);
}
}  // namespace

void AsioTest::SetPower(DEVICE_POWER_STATE state) {
  PowerWait wait;
  KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
  POWER_STATE power;
  power.DeviceState = state;
  ASSERT_EQ(PoRequestPowerIrp(port_->pdo(), IRP_MN_SET_POWER, power, PowerDone, &wait, nullptr), STATUS_PENDING);
  KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace entry_test
