// A hostile ASIO client: every I/O control with input and output lengths of 0, one short,
// exact, one long and 64 KB, from 64- and 32-bit processes; codes that are not the 22;
// handles that are closed, kernel handles, name something else, lack the access or come
// in the other width; requests on a file object that opened no client. Each row states
// the status and Information; where a request fails its length test, nothing changes
// (device, clients, Settings), and no request is left pending.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>

#include "adapter/settings.h"
#include "asio_fixture.h"
#include "kernel/ob.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "kernel/device_registry.h"

namespace entry_test {
namespace {

using namespace adapter;
using sim::engine::AsioClient;
using sim::engine::AsioReply;

constexpr NTSTATUS S = STATUS_SUCCESS;
constexpr NTSTATUS INV = STATUS_INVALID_PARAMETER;
constexpr NTSTATUS OVF = STATUS_BUFFER_OVERFLOW;
constexpr NTSTATUS SMALL = STATUS_BUFFER_TOO_SMALL;
constexpr ULONG k64K = 65536;
// Information of a CreateBuffers that acts: three addresses in the caller's width.
constexpr ULONG_PTR kAddresses = ~ULONG_PTR{0};

// What one length variant gives: status, Information, and whether the request acts.
struct Expect {
  NTSTATUS status;
  ULONG_PTR information;
  bool acts;
};
constexpr Expect None{S, 0, false};  // the length test failed: success, nothing done
constexpr Expect Ok(ULONG_PTR info) { return {S, info, true}; }
constexpr Expect Fail(NTSTATUS s, ULONG_PTR info = 0) { return {s, info, true}; }

// Lengths tried, in order: 0, exact - 1, exact, exact + 1, 64 KB (with the other length
// exact). A row whose exact length is 0 has no "one short": its entry is not run.
constexpr int kVariants = 5;
ULONG Variant(int v, ULONG exact) {
  switch (v) {
    case 0: return 0;
    case 1: return exact - 1;
    case 2: return exact;
    case 3: return exact + 1;
    default: return k64K;
  }
}

enum Payload { Nothing, Value, Handle, ChannelName, CreateRequest };

struct Row {
  ULONG code;
  ULONG inExact;  // 0xFFFF: the caller's handle width
  ULONG outExact;
  Payload payload;
  ULONG value;         // for Value
  bool withEvent;      // the client has set its notification event first
  std::array<Expect, kVariants> byIn;   // out exact
  std::array<Expect, kVariants> byOut;  // in exact
};

constexpr ULONG kHandleWidth = 0xFFFF;
constexpr Expect X = None;  // placeholder of an entry that is not run

// The device just started: 48 kHz PCM, latency index 4, type 16; three ASIO endpoints
// (24 bytes of ring addresses), types 16 and 27 (16 bytes), the name "Studio Interface
// 4x2" (21 bytes with its zero). Payloads would change the state where they act: type 27,
// index 7, 96 kHz, DSD mode.
const Row kRows[] = {
    {IOCTL_ASIO_GET_DRIVER_NAME, 0, 21, Nothing, 0, false,
     {Ok(21), X, Ok(21), Ok(21), Ok(21)},
     {Fail(OVF, 21), Fail(SMALL), Ok(21), Ok(21), Ok(21)}},
    {IOCTL_ASIO_GET_CHANNELS, 0, 16, Nothing, 0, false,
     {Ok(16), X, Ok(16), Ok(16), Ok(16)},
     {Fail(INV), Fail(INV), Ok(16), Fail(INV), Fail(INV)}},
    // The request's channel number and is-input are its first 8 bytes: without them there
    // is no request.
    {IOCTL_ASIO_GET_CHANNEL_NAME, 52, 52, ChannelName, 0, false,
     {None, Ok(52), Ok(52), Ok(52), Ok(52)},
     {Fail(INV), Fail(INV), Ok(52), Fail(INV), Fail(INV)}},
    {IOCTL_ASIO_GET_SAMPLE_TYPES, 0, 16, Nothing, 0, false,
     {Ok(16), X, Ok(16), Ok(16), Ok(16)},
     {Fail(OVF, 16), Fail(SMALL), Ok(16), Ok(16), Ok(16)}},
    {IOCTL_ASIO_GET_LATENCY_INFO, 0, 44, Nothing, 0, false,
     {Ok(44), X, Ok(44), Ok(44), Ok(44)},
     {Fail(OVF, 44), Fail(SMALL), Ok(44), Ok(44), Ok(44)}},
    {IOCTL_ASIO_SET_NOTIFICATION_EVENT, kHandleWidth, 0, Handle, 0, false,
     {None, None, Ok(0), None, None},
     {Ok(0), X, Ok(0), Ok(0), Ok(0)}},
    {IOCTL_ASIO_GET_IN_USE, 0, 4, Nothing, 0, false,
     {Ok(4), X, Ok(4), Ok(4), Ok(4)},
     {Fail(OVF, 4), Fail(SMALL, 4), Ok(4), Ok(4), Ok(4)}},
    {IOCTL_ASIO_SET_BIT_DEPTH, 4, 0, Value, 27, false,
     {None, None, Ok(0), Ok(0), Ok(0)},
     {Ok(0), X, Ok(0), Ok(0), Ok(0)}},
    {IOCTL_ASIO_SET_LATENCY, 4, 8, Value, 7, false,
     {None, None, Ok(8), Ok(8), Ok(8)},
     {Ok(0), Ok(0), Ok(8), Ok(8), Ok(8)}},
    {IOCTL_ASIO_GET_BUFFER_LENGTH, 0, 8, Nothing, 0, false,
     {Ok(8), X, Ok(8), Ok(8), Ok(8)},
     {None, None, Ok(8), Ok(8), Ok(8)}},
    {IOCTL_ASIO_GET_SAMPLE_RATE, 0, 4, Nothing, 0, false,
     {Ok(4), X, Ok(4), Ok(4), Ok(4)},
     {None, None, Ok(4), Ok(4), Ok(4)}},
    {IOCTL_ASIO_CAN_SAMPLE_RATE, 4, 0, Value, 96000, false,
     {None, None, Ok(0), Ok(0), Ok(0)},
     {Ok(0), X, Ok(0), Ok(0), Ok(0)}},
    {IOCTL_ASIO_SET_SAMPLE_RATE, 4, 0, Value, 96000, false,
     {None, None, Ok(0), Ok(0), Ok(0)},
     {Ok(0), X, Ok(0), Ok(0), Ok(0)}},
    {IOCTL_ASIO_GET_BUFFER_SIZE, 0, 16, Nothing, 0, false,
     {Ok(16), X, Ok(16), Ok(16), Ok(16)},
     {None, None, Ok(16), Ok(16), Ok(16)}},
    // A request whose pairs run past its input, or whose output has no room for the three
    // addresses, is refused; one that passes makes the buffers (the client owns them until
    // it closes). Information: the addresses in the caller's width (kAddresses).
    {IOCTL_ASIO_CREATE_BUFFERS, 20, 24, CreateRequest, 0, false,
     {None, Fail(INV), Ok(kAddresses), Ok(kAddresses), Ok(kAddresses)},
     {Fail(INV), Fail(INV), Ok(kAddresses), Ok(kAddresses), Ok(kAddresses)}},
    {IOCTL_ASIO_DISPOSE_BUFFERS, 0, 0, Nothing, 0, false,
     {Fail(INV), X, Fail(INV), Fail(INV), Fail(INV)},
     {Fail(INV), X, Fail(INV), Fail(INV), Fail(INV)}},
    {IOCTL_ASIO_START, kHandleWidth, 0, Handle, 0, false,
     {None, None, Fail(INV), None, None},
     {Fail(INV), X, Fail(INV), Fail(INV), Fail(INV)}},
    {IOCTL_ASIO_STOP, 0, 0, Nothing, 0, false,
     {Fail(INV), X, Fail(INV), None, None},
     {Fail(INV), X, Fail(INV), Fail(INV), Fail(INV)}},
    {IOCTL_ASIO_CLEAR_NOTIFICATION_EVENT, 0, 0, Nothing, 0, true,
     {Ok(0), X, Ok(0), None, None},
     {Ok(0), X, Ok(0), Ok(0), Ok(0)}},
    {IOCTL_ASIO_CAN_SET_SAMPLE_MODE, 4, 0, Value, kAsioModeDsd, false,
     {None, None, Ok(0), Ok(0), Ok(0)},
     {Ok(0), X, Ok(0), Ok(0), Ok(0)}},
    {IOCTL_ASIO_SET_SAMPLE_MODE, 4, 0, Value, kAsioModeDsd, false,
     {None, None, Ok(0), Ok(0), Ok(0)},
     {Ok(0), X, Ok(0), Ok(0), Ok(0)}},
    {IOCTL_ASIO_GET_SAMPLE_MODE, 0, 4, Nothing, 0, false,
     {Ok(4), X, Ok(4), Ok(4), Ok(4)},
     {None, None, Ok(4), Ok(4), Ok(4)}},
};
static_assert(std::size(kRows) == kAsioIoctlCount);

// What a request could change: the device's ASIO state, its Settings and the client.
struct Snapshot {
  ULONG type, latency, rate;
  bool inUse, parked;
  ULONG clients;
  adapter::AsioClient client;
  bool hasClient;
  std::optional<ULONG> storedType, storedLatency, storedRate;

  bool operator==(const Snapshot& o) const {
    return type == o.type && latency == o.latency && rate == o.rate && inUse == o.inUse && parked == o.parked &&
           clients == o.clients && hasClient == o.hasClient && storedType == o.storedType &&
           storedLatency == o.storedLatency && storedRate == o.storedRate &&
           (!hasClient || (client.NotificationEvent == o.client.NotificationEvent &&
                           client.PeriodEvent == o.client.PeriodEvent && client.SampleType == o.client.SampleType &&
                           client.LatencyIndex == o.client.LatencyIndex && client.SampleRate == o.client.SampleRate &&
                           client.SampleMode == o.client.SampleMode && client.State == o.client.State));
  }
};

class AsioHostile : public AsioTest {
 protected:
  std::optional<ULONG> Stored(const char16_t* name) {
    ULONG v = 0;
    if (!NT_SUCCESS(SettingsBinaryValue(fdo(), SETTINGS_READ, &v, sizeof v, name))) return std::nullopt;
    return v;
  }
  Snapshot Take(PFILE_OBJECT file) {
    Snapshot s{};
    s.type = device()->AsioSampleType();
    s.latency = device()->AsioLatencyIndex();
    s.rate = device()->AsioSampleRate();
    s.inUse = device()->AsioInUse();
    s.parked = device()->AsioStopParked();
    s.clients = device()->AsioClientCount();
    s.hasClient = device()->CopyAsioClient(file, &s.client);
    s.storedType = Stored(u"ASIOMLDataBitDepth");
    s.storedLatency = Stored(u"ASIOMLDataLatency");
    s.storedRate = Stored(u"ASIOMLSampleRate");
    return s;
  }
  // Puts the defaults back through the interface, so every row starts alike.
  void Restore() {
    AsioClient keeper(fdo(), false);
    ASSERT_EQ(keeper.Open(), STATUS_SUCCESS);
    keeper.SetValue(IOCTL_ASIO_SET_BIT_DEPTH, 16);
    keeper.SetValue(IOCTL_ASIO_SET_LATENCY, 4);
    keeper.SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 48000);
    keeper.Close();
  }
  std::vector<UCHAR> Input(const Row& row, AsioClient& client, ULONG length) {
    std::vector<UCHAR> in(length, 0);
    std::vector<UCHAR> lead;
    switch (row.payload) {
      case Nothing:
        break;
      case Value:
        lead = AsioClient::Ulong(row.value);
        break;
      case Handle:
        lead = client.HandleBytes(row.code == IOCTL_ASIO_START ? client.PeriodHandle() : client.NotificationHandle());
        break;
      case ChannelName:
        lead = AsioClient::Ulong(1);  // channel 1 of the outputs
        break;
      case CreateRequest:
        // {ignored, one pair, 480 frames}, then {output, channel 0}.
        lead = {0, 0, 0, 0, 1, 0, 0, 0, 0xE0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        break;
    }
    if (!lead.empty() && !in.empty()) std::memcpy(in.data(), lead.data(), std::min(lead.size(), in.size()));
    return in;
  }
};

TEST_F(AsioHostile, EveryCodeAtEveryLengthGivesItsStatusAndChangesNothingWhenItFailsItsTest) {
  StartAsioDevice();
  for (bool is32Bit : {false, true}) {
    for (const Row& row : kRows) {
      for (int axis = 0; axis < 2; ++axis) {
        for (int v = 0; v < kVariants; ++v) {
          const ULONG inExact = row.inExact == kHandleWidth ? (is32Bit ? 4u : 8u) : row.inExact;
          const ULONG exactOther = axis == 0 ? row.outExact : inExact;
          const ULONG exact = axis == 0 ? inExact : row.outExact;
          if (v == 1 && exact == 0) continue;
          const Expect& e = axis == 0 ? row.byIn[v] : row.byOut[v];
          const ULONG in = axis == 0 ? Variant(v, exact) : exactOther;
          const ULONG out = axis == 0 ? exactOther : Variant(v, exact);
          SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << row.code << std::dec << " in " << in << " out "
                                          << out << (is32Bit ? " 32-bit" : " 64-bit"));
          AsioClient client(fdo(), is32Bit);
          ASSERT_EQ(client.Open(), STATUS_SUCCESS);
          if (row.withEvent) {
            ASSERT_EQ(client.SetNotificationEvent(), STATUS_SUCCESS);
          }
          const std::vector<UCHAR> input = Input(row, client, in);
          const Snapshot before = Take(client.file());
          AsioReply reply = client.Request(row.code, input, out);
          Expect expect = e;
          // A 32-bit caller's output one short still holds its three 4-byte addresses.
          if (row.code == IOCTL_ASIO_CREATE_BUFFERS && is32Bit && axis == 1 && v == 1) expect = Ok(kAddresses);
          if (expect.information == kAddresses) expect.information = is32Bit ? 12 : 24;
          EXPECT_EQ(reply.status, expect.status);
          EXPECT_EQ(reply.information, expect.information);
          if (!expect.acts) {
            EXPECT_TRUE(Take(client.file()) == before);
          }
          EXPECT_FALSE(device()->AsioStopParked());
          EXPECT_EQ(device()->AsioInUse(),
                    row.code == IOCTL_ASIO_CREATE_BUFFERS && expect.acts && NT_SUCCESS(expect.status));
          ASSERT_EQ(client.Close(), STATUS_SUCCESS);
          EXPECT_FALSE(device()->AsioInUse());
          Restore();
        }
      }
    }
  }
  EXPECT_EQ(device()->AsioClientCount(), 0u);
}

// The 22 codes as numbers: each name the table above uses is the interface's number.
TEST(AsioCodes, EachCodeIsTheInterfacesNumber) {
  const std::pair<ULONG, ULONG> codes[] = {
      {IOCTL_ASIO_GET_DRIVER_NAME, 0x1D6000},        {IOCTL_ASIO_GET_CHANNELS, 0x1D6004},
      {IOCTL_ASIO_GET_CHANNEL_NAME, 0x1DE008},       {IOCTL_ASIO_GET_SAMPLE_TYPES, 0x1D600C},
      {IOCTL_ASIO_GET_LATENCY_INFO, 0x1D6010},       {IOCTL_ASIO_SET_NOTIFICATION_EVENT, 0x1DA014},
      {IOCTL_ASIO_GET_IN_USE, 0x1D6018},             {IOCTL_ASIO_SET_BIT_DEPTH, 0x1DA01C},
      {IOCTL_ASIO_SET_LATENCY, 0x1DA020},            {IOCTL_ASIO_GET_BUFFER_LENGTH, 0x1D6024},
      {IOCTL_ASIO_GET_SAMPLE_RATE, 0x1D6028},        {IOCTL_ASIO_CAN_SAMPLE_RATE, 0x1DA02C},
      {IOCTL_ASIO_SET_SAMPLE_RATE, 0x1DA030},        {IOCTL_ASIO_GET_BUFFER_SIZE, 0x1D6034},
      {IOCTL_ASIO_CREATE_BUFFERS, 0x1DE038},         {IOCTL_ASIO_DISPOSE_BUFFERS, 0x1DA03C},
      {IOCTL_ASIO_START, 0x1DA040},                  {IOCTL_ASIO_STOP, 0x1DA044},
      {IOCTL_ASIO_CLEAR_NOTIFICATION_EVENT, 0x1DA04C}, {IOCTL_ASIO_CAN_SET_SAMPLE_MODE, 0x1DA050},
      {IOCTL_ASIO_SET_SAMPLE_MODE, 0x1DA054},        {IOCTL_ASIO_GET_SAMPLE_MODE, 0x1D6058},
  };
  static_assert(std::size(codes) == kAsioIoctlCount);
  for (const auto& [name, number] : codes) EXPECT_EQ(name, number) << std::hex << number;
}

// The owner with buffers and a Start behind it, while the device is in D3: every code at
// its exact lengths answers at once (nothing but its Stop waits), none restarts or ends
// the streams; back in D0 they run again, the parked Stop completes and the buffers go.
TEST_F(AsioHostile, AStreamingOwnerOutsideD0GetsEveryCodesAnswer) {
  StartAsioDevice();
  for (bool is32Bit : {false, true}) {
    SCOPED_TRACE(is32Bit ? "32-bit" : "64-bit");
    AsioClient owner(fdo(), is32Bit);
    ASSERT_EQ(owner.Open(), STATUS_SUCCESS);
    ASSERT_EQ(owner.CreateBuffers({{0, 0}, {1, 0}}, 480, 3).status, STATUS_SUCCESS);
    ASSERT_EQ(owner.Start(), STATUS_SUCCESS);
    SetPower(PowerDeviceD3);
    for (const Row& row : kRows) {
      if (row.code == IOCTL_ASIO_STOP || row.code == IOCTL_ASIO_DISPOSE_BUFFERS) continue;
      SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << row.code);
      const ULONG in = row.inExact == kHandleWidth ? (is32Bit ? 4u : 8u) : row.inExact;
      if (row.withEvent) {
        ASSERT_EQ(owner.SetNotificationEvent(), STATUS_SUCCESS);
      }
      const AsioReply reply = owner.Request(row.code, Input(row, owner, in), row.outExact);
      // The owner already has its buffers and its period event; the rest answer as for
      // any client.
      const bool refused = row.code == IOCTL_ASIO_CREATE_BUFFERS || row.code == IOCTL_ASIO_START;
      EXPECT_EQ(reply.status, refused ? INV : row.byIn[2].status);
      EXPECT_FALSE(device()->AsioStreaming());
      EXPECT_TRUE(device()->AsioSuspendedByPower());
      EXPECT_TRUE(device()->AsioInUse());
      if (row.code == IOCTL_ASIO_SET_NOTIFICATION_EVENT) {
        ASSERT_EQ(owner.ClearNotificationEvent(), STATUS_SUCCESS);
      }
    }
    std::unique_ptr<sim::engine::AsioPendingRequest> stop = owner.Begin(IOCTL_ASIO_STOP, {}, 0);
    EXPECT_EQ(stop->dispatchStatus(), STATUS_PENDING);
    SetPower(PowerDeviceD0);
    EXPECT_EQ(stop->Wait().status, STATUS_SUCCESS);
    EXPECT_FALSE(device()->AsioStreaming());
    EXPECT_EQ(owner.DisposeBuffers(), STATUS_SUCCESS);
    EXPECT_FALSE(device()->AsioInUse());
    ASSERT_EQ(owner.Close(), STATUS_SUCCESS);
    Restore();
  }
}

TEST_F(AsioHostile, CodesOutsideTheTwentyTwoAreNotSupported) {
  StartAsioDevice();
  auto client = NewClient();
  const ULONG codes[] = {
      0x1D6048,                  // function 0x812, the gap
      0x1D605C,                  // function 0x817, past the last
      0x1D67FC,                  // function 0x9FF
      0x1DA000,                  // GetDriverName's function with write access
      0x1D2004,                  // GetChannels with any access
      0x1D6001,                  // GetDriverName's function, METHOD_IN_DIRECT
      0x0D6000,                  // another device type
      IOCTL_ASIO_GET_CHANNELS ^ 0xC000,  // another access field
      0,
  };
  for (ULONG code : codes) {
    const Snapshot before = Take(client->file());
    AsioReply reply = client->Request(code, AsioClient::Ulong(27), 16);
    EXPECT_EQ(reply.status, STATUS_NOT_SUPPORTED) << std::hex << code;
    EXPECT_EQ(reply.information, 0u) << std::hex << code;
    EXPECT_TRUE(Take(client->file()) == before) << std::hex << code;
  }
}

// Handles the notification event cannot be: each is refused with the object manager's
// status (or, in the wrong width, not looked at), and the client keeps no event.
TEST_F(AsioHostile, HandlesThatAreNoEventTheCallerMaySetAreRefused) {
  StartAsioDevice();
  struct Case {
    const char* name;
    std::function<HANDLE(AsioClient&)> make;
    bool otherWidth;
    NTSTATUS status;
  };
  KEVENT owned;
  KeInitializeEvent(&owned, NotificationEvent, FALSE);
  std::vector<HANDLE> opened;
  const Case cases[] = {
      {"closed", [&](AsioClient&) {
         HANDLE h = nullptr;
         platform::ob::CreateUserEvent(true, false, &h);
         ZwClose(h);
         return h;
       }, false, STATUS_INVALID_HANDLE},
      {"kernel handle", [&](AsioClient&) {
         HANDLE h = nullptr;
         platform::ob::CreateHandleForObject(&owned, *ExEventObjectType, EVENT_ALL_ACCESS, true, &h);
         opened.push_back(h);
         return h;
       }, false, STATUS_INVALID_HANDLE},
      {"not an event", [&](AsioClient& c) {
         HANDLE h = nullptr;
         ObOpenObjectByPointer(c.file(), 0, nullptr, 0x1F01FF, *IoFileObjectType, UserMode, &h);
         opened.push_back(h);
         return h;
       }, false, STATUS_OBJECT_TYPE_MISMATCH},
      {"no EVENT_MODIFY_STATE", [&](AsioClient&) {
         HANDLE h = nullptr;
         platform::ob::CreateHandleForObject(&owned, *ExEventObjectType, SYNCHRONIZE, false, &h);
         opened.push_back(h);
         return h;
       }, false, STATUS_ACCESS_DENIED},
      {"null", [&](AsioClient&) { return HANDLE{}; }, false, STATUS_INVALID_HANDLE},
      {"other width", [&](AsioClient& c) { return c.NotificationHandle(); }, true, STATUS_SUCCESS},
  };
  for (bool is32Bit : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (is32Bit ? " 32-bit" : " 64-bit"));
      AsioClient client(fdo(), is32Bit);
      ASSERT_EQ(client.Open(), STATUS_SUCCESS);
      HANDLE h = c.make(client);
      std::vector<UCHAR> bytes = client.HandleBytes(h);
      if (c.otherWidth) bytes.resize(is32Bit ? 8 : 4, 0);
      AsioReply reply = client.Request(IOCTL_ASIO_SET_NOTIFICATION_EVENT, bytes, 0);
      EXPECT_EQ(reply.status, c.status);
      EXPECT_EQ(reply.information, 0u);
      adapter::AsioClient copy{};
      ASSERT_TRUE(device()->CopyAsioClient(client.file(), &copy));
      EXPECT_EQ(copy.NotificationEvent, nullptr);
      // A second event is refused while one is set; the first one's handle works.
      ASSERT_EQ(client.SetNotificationEvent(), STATUS_SUCCESS);
      EXPECT_EQ(client.SetNotificationEvent(), STATUS_INVALID_PARAMETER);
      EXPECT_EQ(client.ClearNotificationEvent(), STATUS_SUCCESS);
      EXPECT_EQ(client.ClearNotificationEvent(), STATUS_INVALID_PARAMETER);
    }
  }
  for (HANDLE h : opened) ZwClose(h);
}

// A file object on the interface that never sent its create has no client: every
// request that passes its length test is refused, its close is unsuccessful.
TEST_F(AsioHostile, RequestsOnAFileWithoutAClientAreRefused) {
  StartAsioDevice();
  PFILE_OBJECT file = platform::io::CreateFileObject(fdo(), u"\\QVASIOPrivateInterface");
  ASSERT_NE(file, nullptr);
  AsioClient client(fdo(), false);  // used for its buffers only: requests go on `file`
  for (const Row& row : kRows) {
    const ULONG in = row.inExact == kHandleWidth ? 8 : row.inExact;
    const ULONG out = row.outExact;
    std::vector<UCHAR> input = Input(row, client, in);
    const IO_STATUS_BLOCK io = platform::io::SendSynchronousRequest(
        fdo(), file,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
          stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
          stack->Parameters.DeviceIoControl.IoControlCode = row.code;
          stack->Parameters.DeviceIoControl.InputBufferLength = in;
          stack->Parameters.DeviceIoControl.OutputBufferLength = out;
          if (in || out) {
            static std::vector<UCHAR> buffer;
            buffer.assign(std::max(in, out) + 8, 0);
            if (in) std::memcpy(buffer.data(), input.data(), in);
            irp->AssociatedIrp.SystemBuffer = buffer.data();
          }
        },
        UserMode);
    EXPECT_EQ(io.Status, STATUS_INVALID_PARAMETER) << std::hex << row.code;
    EXPECT_EQ(io.Information, row.code == IOCTL_ASIO_GET_IN_USE ? 4u : 0u) << std::hex << row.code;
  }
  EXPECT_EQ(platform::io::SendSynchronousRequest(fdo(), file, [](PIRP, PIO_STACK_LOCATION stack) {
              stack->MajorFunction = IRP_MJ_CLOSE;
            }).Status,
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(device()->AsioClientCount(), 0u);
  ObDereferenceObject(file);
}

}  // namespace
}  // namespace entry_test
