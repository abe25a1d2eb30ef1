// The WaveCyclic stream contract as the port drives it: pin creation through NewStream,
// instance limits, state changes one step at a time, positions, format changes, the
// cyclic buffer and service-group notifications.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "installed.h"
#include "kernel/ke.h"
#include "kernel/verifier.h"
#include "portcls/ksclient.h"
#include "support/kernel_fixture.h"

namespace {

using fakes::FakeWaveMiniport;
using fakes::InstalledDevice;

struct Connect {
  KSPIN_CONNECT connect;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format;
};

Connect MakeConnect(ULONG pin = FakeWaveMiniport::kStreamingPin) {
  Connect c{};
  c.connect.Interface.Set = KSINTERFACESETID_Standard;
  c.connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  c.connect.Medium.Set = KSMEDIUMSETID_Standard;
  c.connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  c.connect.PinId = pin;
  c.connect.Priority = {KSPRIORITY_NORMAL, 1};
  c.format = fakes::FakeFormat();
  return c;
}

NTSTATUS SetState(platform::ks::Pin& pin, KSSTATE state) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Connection;
  p.Id = KSPROPERTY_CONNECTION_STATE;
  p.Flags = KSPROPERTY_TYPE_SET;
  ULONG value = state, returned = 0;
  return pin.Property(&p, sizeof(p), &value, sizeof(value), &returned);
}

KSAUDIO_POSITION Position(platform::ks::Pin& pin) {
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Audio;
  p.Id = KSPROPERTY_AUDIO_POSITION;
  p.Flags = KSPROPERTY_TYPE_GET;
  KSAUDIO_POSITION position{};
  ULONG returned = 0;
  EXPECT_EQ(pin.Property(&p, sizeof(p), &position, sizeof(position), &returned), STATUS_SUCCESS);
  return position;
}

class StreamTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    dev = std::make_unique<InstalledDevice>(8);
    ASSERT_EQ(platform::ks::OpenFilter(dev->device, dev->waveName, &filter), STATUS_SUCCESS);
  }
  void TearDown() override {
    pin.reset();
    filter.reset();
    dev.reset();
    KernelTest::TearDown();
  }
  NTSTATUS Open(const Connect& c, ULONG size = sizeof(Connect)) { return filter->CreatePin(&c, size, &pin); }

  std::unique_ptr<InstalledDevice> dev;
  std::unique_ptr<platform::ks::Filter> filter;
  std::unique_ptr<platform::ks::Pin> pin;
};

TEST_F(StreamTest, PinCreationChecksTheRequestAndTheInstanceLimit) {
  Connect c = MakeConnect(FakeWaveMiniport::kBridgePin);
  EXPECT_EQ(Open(c), STATUS_INVALID_DEVICE_REQUEST);
  c = MakeConnect(5);
  EXPECT_EQ(Open(c), STATUS_INVALID_PARAMETER);
  c = MakeConnect();
  EXPECT_EQ(Open(c, sizeof(KSPIN_CONNECT) + 10), STATUS_INVALID_BUFFER_SIZE);
  c.format.DataFormat.FormatSize = sizeof(Connect);  // larger than what was sent
  EXPECT_EQ(Open(c), STATUS_INVALID_PARAMETER);
  c = MakeConnect();
  c.format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  EXPECT_EQ(Open(c), STATUS_NO_MATCH);
  c = MakeConnect();
  c.connect.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING + 1;
  EXPECT_EQ(Open(c), STATUS_NO_MATCH);
  c = MakeConnect();
  c.format.WaveFormatExt.Format.wBitsPerSample = 24;  // the miniport refuses it
  EXPECT_EQ(Open(c), STATUS_NO_MATCH);

  ASSERT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
  ASSERT_NE(dev->wave->stream, nullptr);
  std::unique_ptr<platform::ks::Pin> second;
  Connect again = MakeConnect();
  EXPECT_EQ(filter->CreatePin(&again, sizeof(again), &second), STATUS_INSUFFICIENT_RESOURCES);

  KSP_PIN instances{};
  instances.Property.Set = KSPROPSETID_Pin;
  instances.Property.Id = KSPROPERTY_PIN_CINSTANCES;
  instances.Property.Flags = KSPROPERTY_TYPE_GET;
  KSPIN_CINSTANCES count{};
  ULONG returned = 0;
  ASSERT_EQ(filter->Property(&instances, sizeof(instances), &count, sizeof(count), &returned), STATUS_SUCCESS);
  EXPECT_EQ(count.CurrentCount, 1u);
  pin.reset();
  EXPECT_EQ(dev->wave->stream, nullptr);  // closing the pin released the stream
  ASSERT_EQ(filter->Property(&instances, sizeof(instances), &count, sizeof(count), &returned), STATUS_SUCCESS);
  EXPECT_EQ(count.CurrentCount, 0u);
  EXPECT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
}

TEST_F(StreamTest, StatesAreSteppedInOrderBothWays) {
  ASSERT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
  fakes::FakeStream* stream = dev->wave->stream;
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(stream->silenced, 1u);  // a render buffer starts silent
  ASSERT_EQ(SetState(*pin, KSSTATE_STOP), STATUS_SUCCESS);
  std::vector<KSSTATE> expected = {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN,
                                   KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP};
  EXPECT_EQ(stream->transitions, expected);

  KSPROPERTY get{};
  get.Set = KSPROPSETID_Connection;
  get.Id = KSPROPERTY_CONNECTION_STATE;
  get.Flags = KSPROPERTY_TYPE_GET;
  ULONG state = 9, returned = 0;
  ASSERT_EQ(pin->Property(&get, sizeof(get), &state, sizeof(state), &returned), STATUS_SUCCESS);
  EXPECT_EQ(state, static_cast<ULONG>(KSSTATE_STOP));
  EXPECT_EQ(SetState(*pin, static_cast<KSSTATE>(7)), STATUS_INVALID_PARAMETER);

  // Closing a running pin walks the stream down to STOP.
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(stream->transitions.back(), KSSTATE_RUN);
  pin.reset();
}

TEST_F(StreamTest, PositionsNotificationsAndTheBufferReachTheClient) {
  ASSERT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
  fakes::FakeStream* stream = dev->wave->stream;
  ULONG size = pin->BufferSize();
  EXPECT_EQ(size, 9600u);  // 50 ms of 48 kHz 16-bit stereo
  EXPECT_EQ(pin->FramingSize(), 1920u);
  int serviced = 0;
  KIRQL serviceIrql = PASSIVE_LEVEL;
  pin->SetServiceCallback([&] {
    ++serviced;
    serviceIrql = KeGetCurrentIrql();
  });

  std::vector<BYTE> data(size);
  for (ULONG i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 7);
  ASSERT_EQ(SetState(*pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(pin->Write(0, data.data(), size), STATUS_SUCCESS);
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  stream->Advance(1920);
  stream->Advance(1920);
  EXPECT_EQ(serviced, 2);
  EXPECT_EQ(serviceIrql, DISPATCH_LEVEL);  // the service group's DPC
  EXPECT_EQ(Position(*pin).PlayOffset, 3840u);

  // A notification never calls back into the stream from inside Notify (the stream may
  // hold its own lock there): the service waits for the DPC. Notified at DISPATCH_LEVEL,
  // as from the miniport's own DPC: at PASSIVE_LEVEL the DPC may run on this processor
  // at once, on Windows as here under a seed.
  PVOID object = nullptr;
  ASSERT_EQ(dev->wavePort->QueryInterface(IID_IPortWaveCyclic, &object), STATUS_SUCCESS);
  auto* port = static_cast<PPORTWAVECYCLIC>(object);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  port->Notify(stream->serviceGroup);
  EXPECT_EQ(serviced, 2);
  KeLowerIrql(irql);
  KeFlushQueuedDpcs();
  EXPECT_EQ(serviced, 3);
  port->Release();
  serviced = 2;
  ASSERT_EQ(stream->consumed.size(), 3840u);
  EXPECT_TRUE(std::equal(stream->consumed.begin(), stream->consumed.end(), data.begin()));

  // Writes and reads wrap at the end of the buffer.
  std::vector<BYTE> tail(100, 0x5A);
  ASSERT_EQ(pin->Write(size - 40, tail.data(), 100), STATUS_SUCCESS);
  std::vector<BYTE> back(100);
  ASSERT_EQ(pin->Read(size - 40, back.data(), 100), STATUS_SUCCESS);
  EXPECT_EQ(back, tail);
  EXPECT_EQ(Position(*pin).WriteOffset, size + 100u);  // bytes written since STOP
  EXPECT_EQ(pin->Write(size, tail.data(), 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pin->Write(0, tail.data(), size + 1), STATUS_INVALID_PARAMETER);

  stream->faults.skipNotification = true;
  stream->Advance(1920);
  EXPECT_EQ(serviced, 2);
  pin->SetServiceCallback(nullptr);
  stream->Advance(1920);
  EXPECT_EQ(serviced, 2);
}

TEST_F(StreamTest, StandardStreamingPositionsCountBytesFromTheStartOfTheStream) {
  ASSERT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
  fakes::FakeStream* stream = dev->wave->stream;
  ULONG size = pin->BufferSize();
  std::vector<BYTE> data(size, 1);
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(pin->Write(0, data.data(), size), STATUS_SUCCESS);
    for (int i = 0; i < 12; ++i) stream->Advance(1920);  // 2.4 buffers, each wrap counted
    KSAUDIO_POSITION position = Position(*pin);
    EXPECT_EQ(position.PlayOffset, 12u * 1920);
    EXPECT_EQ(position.WriteOffset, size);
    // The port asks the miniport at DISPATCH_LEVEL, as from its timer and DPC.
    EXPECT_EQ(stream->positionIrql, DISPATCH_LEVEL);
    // STOP starts both offsets again from 0, and the next RUN counts from there.
    ASSERT_EQ(SetState(*pin, KSSTATE_STOP), STATUS_SUCCESS);
    position = Position(*pin);
    EXPECT_EQ(position.PlayOffset, 0u);
    EXPECT_EQ(position.WriteOffset, 0u);
    ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  }
}

TEST_F(StreamTest, LoopedStreamingPositionsAreOffsetsInTheBuffer) {
  Connect c = MakeConnect();
  c.connect.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
  ASSERT_EQ(Open(c), STATUS_SUCCESS);
  fakes::FakeStream* stream = dev->wave->stream;
  ULONG size = pin->BufferSize();
  std::vector<BYTE> data(300, 1);
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(pin->Write(size - 100, data.data(), 300), STATUS_SUCCESS);
  for (int i = 0; i < 6; ++i) stream->Advance(1920);
  KSAUDIO_POSITION position = Position(*pin);
  EXPECT_EQ(position.PlayOffset, 6u * 1920 % size);
  EXPECT_EQ(position.WriteOffset, 200u);
}

TEST_F(StreamTest, AMiniportPositionOutsideItsBufferIsReported) {
  ASSERT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  dev->wave->stream->Advance(1920);
  dev->wave->stream->faults.positionOutside = true;
  platform::verifier::ScopedCapture capture;
  EXPECT_EQ(Position(*pin).PlayOffset, 1920u);  // the reading is not taken
  EXPECT_TRUE(capture.Saw(platform::verifier::Check::InvalidArgument));
  dev->wave->stream->faults.positionOutside = false;
}

TEST_F(StreamTest, APinOutlivesItsFilterAndTheSubdevicesRegistration) {
  ASSERT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
  filter.reset();
  ASSERT_EQ(dev->Unregister(), STATUS_SUCCESS);
  // The miniport stays with the open pin.
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  dev->wave->stream->Advance(1920);
  EXPECT_EQ(Position(*pin).PlayOffset, 1920u);
  pin.reset();
  EXPECT_EQ(dev->wave->stream, nullptr);
}

TEST_F(StreamTest, FormatChangesGoToTheStreamAndAreReadBack) {
  ASSERT_EQ(Open(MakeConnect()), STATUS_SUCCESS);
  // Paused part-way, so a format change must leave the position where it is.
  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  dev->wave->stream->Advance(1920);
  ASSERT_EQ(SetState(*pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  KSPROPERTY p{};
  p.Set = KSPROPSETID_Connection;
  p.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
  p.Flags = KSPROPERTY_TYPE_SET;
  auto format = fakes::FakeFormat();
  format.WaveFormatExt.Format.nSamplesPerSec = 44100;
  ULONG returned = 0;
  ASSERT_EQ(pin->Property(&p, sizeof(p), &format, sizeof(format), &returned), STATUS_SUCCESS);
  p.Flags = KSPROPERTY_TYPE_GET;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE read{};
  ASSERT_EQ(pin->Property(&p, sizeof(p), &read, sizeof(read), &returned), STATUS_SUCCESS);
  EXPECT_EQ(read.WaveFormatExt.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(Position(*pin).PlayOffset, 1920u);

  ASSERT_EQ(SetState(*pin, KSSTATE_RUN), STATUS_SUCCESS);
  p.Flags = KSPROPERTY_TYPE_SET;
  EXPECT_EQ(pin->Property(&p, sizeof(p), &format, sizeof(format), &returned), STATUS_UNSUCCESSFUL);
  format.DataFormat.FormatSize = 1000;
  EXPECT_EQ(pin->Property(&p, sizeof(p), &format, sizeof(format), &returned), STATUS_INVALID_PARAMETER);
  KSPROPERTY position{};
  position.Set = KSPROPSETID_Audio;
  position.Id = KSPROPERTY_AUDIO_POSITION;
  position.Flags = KSPROPERTY_TYPE_SET;
  KSAUDIO_POSITION value{};
  EXPECT_EQ(pin->Property(&position, sizeof(position), &value, sizeof(value), &returned),
            STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
