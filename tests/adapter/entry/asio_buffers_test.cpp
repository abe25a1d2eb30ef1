// ASIO buffers through the I/O controls: simulated ASIO clients create the rings, map them,
// start, stream, stop and dispose through the whole driver on the UAC 2.0 device with
// three ASIO endpoints (speakers, headphones, a 4-channel microphone).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/asio_streams.h"
#include "asio_fixture.h"
#include "kernel/clock.h"
#include "kernel/mm.h"
#include "kernel/ps.h"
#include "adapter/usb_stream_client.h"
#include "sim/engine/asio_ring.h"
#include "kernel/pool.h"

namespace entry_test {
namespace {

using namespace adapter;
using sim::engine::AsioClient;
using sim::engine::AsioReply;
using sim::engine::AsioRing;

constexpr ULONG kType24In32 = 27;
constexpr ULONG kEndpoints = 3;
constexpr std::uint8_t kSpeakerEndpoint = 0x01;
using Pairs = std::vector<AsioClient::ChannelPair>;

// Frame n of the render signal, channel c: a 24-bit value, never zero.
std::int32_t Signal(std::uint64_t n, int c) {
  return static_cast<std::int32_t>((n * 7919 + c * 104729 + 1) % 0x7FFFFF) - 0x3FFFFF;
}

class AsioBuffers : public AsioTest {
 protected:
  // Nothing of the buffers is left: no mapping, no pool block since `mark`.
  static void ExpectNothingLeft(platform::pool::Mark mark) {
    EXPECT_TRUE(platform::mm::UserMappings().empty());
    EXPECT_TRUE(platform::pool::LiveBlocks(mark).empty());
  }
};

// 24-bit stereo render on the speakers and capture of two microphone channels, for a 64-
// and a 32-bit client: the addresses in the client's width, the device receiving exactly
// the frames written, the period event waking the client, and nothing left after dispose.
TEST_F(AsioBuffers, RenderAndCaptureThroughTheRequests) {
  StartAsioDevice();
  for (bool is32Bit : {false, true}) {
    SCOPED_TRACE(is32Bit ? "32-bit" : "64-bit");
    const auto mark = platform::pool::CurrentMark();
    auto client = std::make_unique<AsioClient>(fdo(), is32Bit);
    ASSERT_EQ(client->Open(), STATUS_SUCCESS);
    ASSERT_EQ(client->SetValue(IOCTL_ASIO_SET_BIT_DEPTH, kType24In32), STATUS_SUCCESS);
    const AsioReply reply = client->CreateBuffers({{0, 0}, {0, 1}, {1, 0}, {1, 1}}, 480, kEndpoints);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, kEndpoints * (is32Bit ? 4u : 8u));
    ASSERT_EQ(client->addresses().size(), kEndpoints);
    for (size_t i = 0; i < kEndpoints; ++i) EXPECT_NE(client->Ring(i), nullptr) << i;
    EXPECT_EQ(platform::mm::UserMappings().size(), kEndpoints);
    // Each ring is whole pages of its own from its header on: the client's mapping covers
    // exactly the ring, and what follows its data on the last page is zero.
    for (const auto& m : platform::mm::UserMappings()) {
      EXPECT_EQ(m.pages, m.address);
      EXPECT_EQ(m.pageBytes, m.bytes);
      const auto* header = static_cast<const AsioRingHeader*>(m.address);
      const auto* bytes = static_cast<const std::uint8_t*>(m.address);
      ASSERT_LE(sizeof(AsioRingHeader) + header->DataSize, m.pageBytes);
      EXPECT_GT(sizeof(AsioRingHeader) + header->DataSize + PAGE_SIZE, m.pageBytes);
      size_t nonZero = 0;
      for (size_t b = sizeof(AsioRingHeader) + header->DataSize; b < m.pageBytes; ++b) nonZero += bytes[b] != 0;
      EXPECT_EQ(nonZero, 0u);
    }
    EXPECT_TRUE(device()->AsioInUse());

    AsioRing render(ActiveRing(*client, false), 8);
    AsioRing capture(ActiveRing(*client, true), 16);
    ASSERT_EQ(capture.Read(AsioRing::kSignals), 1u);
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    render.Begin();
    capture.Begin();
    EXPECT_EQ(render.size(), 48u * 40 * 8);
    std::uint64_t frames = 0, wakes = 0;
    const LONGLONG end = platform::clock::Now() + 500 * platform::clock::kTicksPerMillisecond;
    while (platform::clock::Now() < end) {
      render.Render(render.lead() + 2 * 2 * 48 * 8, [&](std::uint8_t* p) {
        for (int c = 0; c < 2; ++c) {
          const std::uint32_t word = static_cast<std::uint32_t>(Signal(frames, c)) << 8;
          std::memcpy(p + 4 * c, &word, 4);
        }
        ++frames;
      });
      capture.Capture([](const std::uint8_t*) {});
      LARGE_INTEGER timeout = platform::testing::RelativeMs(50);
      if (KeWaitForSingleObject(client->PeriodEvent(), Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS)
        ++wakes;
      KeClearEvent(client->PeriodEvent());
    }
    ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
    for (const std::string& f : render.findings()) ADD_FAILURE() << f;
    for (const std::string& f : capture.findings()) ADD_FAILURE() << f;
    EXPECT_GT(wakes, 50u);
    EXPECT_GT(capture.moved(), 0u);

    // The device got silence (the lead sent at the start), then the frames as written.
    const std::vector<std::int32_t> got = sim_->received_samples(kSpeakerEndpoint);
    size_t first = 0;
    while (first < got.size() && got[first] == 0) ++first;
    first -= first % 2;
    ASSERT_LT(first, got.size()) << "the device received only silence";
    const size_t received = (got.size() - first) / 2;
    EXPECT_GT(received, 48u * 300);
    EXPECT_LE(received, frames);
    size_t bad = 0;
    for (size_t n = 0; n < received; ++n)
      for (int c = 0; c < 2; ++c)
        if (got[first + 2 * n + c] != Signal(n, c) && bad++ < 3)
          ADD_FAILURE() << "frame " << n << " channel " << c << " is " << got[first + 2 * n + c];
    EXPECT_EQ(bad, 0u);

    ASSERT_EQ(client->DisposeBuffers(), STATUS_SUCCESS);
    EXPECT_FALSE(device()->AsioInUse());
    EXPECT_TRUE(platform::mm::UserMappings().empty());
    ASSERT_EQ(client->Close(), STATUS_SUCCESS);
    client.reset();
    ExpectNothingLeft(mark);
  }
}

// Requests the driver refuses before it allocates anything, each leaving no owner, ring,
// MDL, mapping or pool block.
TEST_F(AsioBuffers, BadRequestsAreRefusedBeforeAnythingIsAllocated) {
  StartAsioDevice();
  auto client = NewClient();
  const Pairs stereo = {{0, 0}, {0, 1}};
  std::vector<std::uint8_t> tooMany = AsioClient::BufferRequest(Pairs(9, {0, 0}), 480);
  std::vector<std::uint8_t> shortInput = AsioClient::BufferRequest(stereo, 480);
  shortInput.pop_back();
  std::vector<std::uint8_t> countPastInput = AsioClient::BufferRequest(stereo, 480);
  countPastInput[4] = 200;
  const struct {
    const char* what;
    std::vector<std::uint8_t> input;
    ULONG out;
  } rows[] = {
      {"output 16 for three endpoints", AsioClient::BufferRequest(stereo, 480), 16},
      {"input shorter than its pairs", shortInput, 24},
      {"more pairs than the input holds", countPastInput, 24},
      // The device has 2 + 2 + 4 PCM channels.
      {"more pairs than channels", tooMany, 24},
      {"only the fixed part", std::vector<std::uint8_t>(11, 0), 24},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const auto mark = platform::pool::CurrentMark();
    const AsioReply reply = client->Request(AsioClient::kCreateBuffers, r.input, r.out);
    EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reply.information, 0u);
    EXPECT_FALSE(device()->AsioInUse());
    ExpectNothingLeft(mark);
  }
  // A failing user mapping leaves nothing either, and the client may try again.
  {
    const auto mark = platform::pool::CurrentMark();
    platform::mm::FailNextUserMappings(2);
    EXPECT_EQ(client->CreateBuffers(stereo, 480, kEndpoints).status, STATUS_INSUFFICIENT_RESOURCES);
    platform::mm::FailNextUserMappings(0);
    EXPECT_FALSE(device()->AsioInUse());
    ExpectNothingLeft(mark);
  }
  EXPECT_EQ(client->CreateBuffers(stereo, 480, kEndpoints).status, STATUS_SUCCESS);
  EXPECT_EQ(client->DisposeBuffers(), STATUS_SUCCESS);
}

// One owner at a time; a second CreateBuffers of the owner is refused too.
TEST_F(AsioBuffers, OneClientOwnsTheBuffers) {
  StartAsioDevice();
  auto a = NewClient();
  auto b = NewClient(true);
  const Pairs stereo = {{0, 0}, {0, 1}};
  ASSERT_EQ(a->CreateBuffers(stereo, 480, kEndpoints).status, STATUS_SUCCESS);
  EXPECT_EQ(b->CreateBuffers(stereo, 480, kEndpoints).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(a->Request(AsioClient::kCreateBuffers, AsioClient::BufferRequest(stereo, 480), 24).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b->DisposeBuffers(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b->Start(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(platform::mm::UserMappings().size(), kEndpoints);
  ASSERT_EQ(a->DisposeBuffers(), STATUS_SUCCESS);
  EXPECT_EQ(b->CreateBuffers(stereo, 480, kEndpoints).status, STATUS_SUCCESS);
  EXPECT_EQ(b->DisposeBuffers(), STATUS_SUCCESS);
}

// The rings live in the address space of the process that created them. A handle
// duplicated into a second process cannot dispose of them; when the first process closes
// its handle the rings stay (the second still holds the file object), and the second
// process's close, the last handle, unmaps them in the first process's address space.
TEST_F(AsioBuffers, TheRingsBelongToTheProcessThatCreatedThem) {
  StartAsioDevice();
  PEPROCESS host = platform::ps::CreateUserProcess("host.exe");
  PEPROCESS other = platform::ps::CreateUserProcess("other.exe");
  auto client = std::make_unique<AsioClient>(fdo(), false);
  PFILE_OBJECT file = nullptr;
  {
    platform::ps::ScopedProcess in(host);
    ASSERT_EQ(client->Open(), STATUS_SUCCESS);
    ASSERT_EQ(client->CreateBuffers({{0, 0}, {0, 1}}, 480, kEndpoints).status, STATUS_SUCCESS);
    for (const auto& m : platform::mm::UserMappings()) EXPECT_EQ(m.process, host);
    file = client->file();
    ASSERT_EQ(platform::io::DuplicateHandle(file), STATUS_SUCCESS);
  }
  {
    platform::ps::ScopedProcess in(other);
    EXPECT_EQ(client->DisposeBuffers(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(platform::mm::UserMappings().size(), kEndpoints);
  }
  {
    platform::ps::ScopedProcess in(host);
    EXPECT_EQ(client->Close(), STATUS_SUCCESS);
    EXPECT_TRUE(device()->AsioInUse());
    EXPECT_EQ(platform::mm::UserMappings().size(), kEndpoints);
  }
  {
    platform::ps::ScopedProcess in(other);
    EXPECT_EQ(platform::io::CloseHandle(file), STATUS_SUCCESS);
  }
  EXPECT_TRUE(platform::mm::UserMappings().empty());
  EXPECT_FALSE(device()->AsioInUse());
  ObDereferenceObject(host);
  ObDereferenceObject(other);
}

// A ring whose stream will not unregister (its engine still holds it prepared) is not
// reported disposed: Dispose fails and the client keeps the buffers until a later Dispose
// finds the stream free.
TEST_F(AsioBuffers, ARingStillInUseIsNotReportedDisposed) {
  StartAsioDevice();
  auto client = NewClient();
  ASSERT_EQ(client->CreateBuffers({{0, 0}, {0, 1}}, 480, kEndpoints).status, STATUS_SUCCESS);
  adapter::CAsioStreams* asio = device()->AsioStreams();
  ULONG held = asio->ChannelCount();
  for (ULONG i = 0; i < asio->ChannelCount() && held == asio->ChannelCount(); ++i)
    if (asio->Channel(i).Active && asio->Channel(i).Stream) held = i;
  ASSERT_LT(held, asio->ChannelCount());
  const ULONGLONG key = asio->Channel(held).Stream->Key;
  adapter::IStreamEngine* engine = nullptr;
  ASSERT_EQ(hal()->GetEngine(held, &engine), STATUS_SUCCESS);
  PVOID itf = nullptr;
  ASSERT_EQ(engine->QueryInterface(adapter::IID_IUsbStreamEngine, &itf), STATUS_SUCCESS);
  auto* streams = static_cast<adapter::IUsbStreamClient*>(itf);
  ULONG ms = 0, frame = 0;
  ASSERT_EQ(streams->PrepareClient(key, &ms, &frame), STATUS_SUCCESS);

  EXPECT_EQ(client->DisposeBuffers(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(device()->AsioInUse());
  EXPECT_FALSE(platform::mm::UserMappings().empty());
  ASSERT_EQ(streams->UnprepareClient(key), STATUS_SUCCESS);
  streams->Release();
  EXPECT_EQ(client->DisposeBuffers(), STATUS_SUCCESS);
  EXPECT_FALSE(device()->AsioInUse());
  EXPECT_TRUE(platform::mm::UserMappings().empty());
}

// A streaming start that fails gives the period event back: the client starts again.
TEST_F(AsioBuffers, AFailedStartLeavesTheClientFreeToStartAgain) {
  StartAsioDevice();
  auto client = NewClient();
  ASSERT_EQ(client->CreateBuffers({{0, 0}, {0, 1}}, 480, kEndpoints).status, STATUS_SUCCESS);
  platform::pool::FailNthAllocation(1, MakePoolTag('U', 'R', 'B', ' '));
  EXPECT_NE(client->Start(), STATUS_SUCCESS);
  platform::pool::FailNthAllocation(0);
  adapter::AsioClient copy{};
  ASSERT_TRUE(device()->CopyAsioClient(client->file(), &copy));
  EXPECT_EQ(copy.PeriodEvent, nullptr);
  EXPECT_FALSE(device()->AsioStreaming());
  ASSERT_EQ(client->Start(), STATUS_SUCCESS);
  EXPECT_TRUE(device()->AsioStreaming());
  ASSERT_EQ(client->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client->DisposeBuffers(), STATUS_SUCCESS);
}

// DisposeBuffers and close while streaming stop the streams before the rings go.
TEST_F(AsioBuffers, DisposeAndCloseWhileStreamingLeaveNothing) {
  StartAsioDevice();
  for (bool dispose : {true, false}) {
    SCOPED_TRACE(dispose ? "dispose" : "close");
    const auto mark = platform::pool::CurrentMark();
    auto client = std::make_unique<AsioClient>(fdo(), false);
    ASSERT_EQ(client->Open(), STATUS_SUCCESS);
    ASSERT_EQ(client->CreateBuffers({{0, 0}, {1, 0}}, 480, kEndpoints).status, STATUS_SUCCESS);
    ASSERT_EQ(client->Start(), STATUS_SUCCESS);
    platform::testing::DelayMs(30);
    if (dispose) {
      ASSERT_EQ(client->DisposeBuffers(), STATUS_SUCCESS);
      EXPECT_FALSE(device()->AsioStreaming());
      EXPECT_TRUE(platform::mm::UserMappings().empty());
      EXPECT_EQ(client->Stop(), STATUS_INVALID_PARAMETER);
    }
    ASSERT_EQ(client->Close(), STATUS_SUCCESS);
    client.reset();
    EXPECT_FALSE(device()->AsioInUse());
    ExpectNothingLeft(mark);
  }
}

// Surprise removal mid-stream: the client's requests fail, and its close and the removal
// leave nothing behind.
TEST_F(AsioBuffers, SurpriseRemovalMidStream) {
  StartAsioDevice();
  auto client = NewClient();
  ASSERT_EQ(client->CreateBuffers({{0, 0}, {0, 1}, {1, 0}}, 480, kEndpoints).status, STATUS_SUCCESS);
  ASSERT_EQ(client->Start(), STATUS_SUCCESS);
  platform::testing::DelayMs(30);
  ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(client->CreateBuffers({{0, 0}}, 480, kEndpoints).status));
  EXPECT_FALSE(NT_SUCCESS(client->Start()));
  client->Close();
  clients_.clear();
  client.reset();
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(platform::mm::UserMappings().empty());
}

}  // namespace
}  // namespace entry_test
