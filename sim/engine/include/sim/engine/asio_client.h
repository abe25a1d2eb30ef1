// The simulated ASIO client: it plays the user-mode ASIO driver of the private ASIO
// interface. It opens the interface ("\QVASIOPrivateInterface") on the functional device
// as a 32- or 64-bit process, sends the buffered I/O controls with its own input and
// output buffers through the platform's I/O path (system buffer in, Information bytes
// back), and owns the events it hands the driver. A request may stay pending (Stop while
// the device sleeps); the client can then wait for it or cancel it, as a user-mode driver
// cancels its outstanding I/O.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/ke.h"

namespace sim::engine {

struct AsioReply {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;      // as the driver set it
  std::vector<std::uint8_t> data;  // the output buffer after the request (its full length)
};

// A request in flight. Destroying it waits for the completion first.
class AsioPendingRequest {
 public:
  ~AsioPendingRequest();
  AsioPendingRequest(const AsioPendingRequest&) = delete;
  AsioPendingRequest& operator=(const AsioPendingRequest&) = delete;

  // The status the dispatch routine returned.
  NTSTATUS dispatchStatus() const { return dispatchStatus_; }
  bool Done() const;
  // Cancels the request (IoCancelIrp); TRUE when a cancel routine ran.
  bool Cancel();
  // Waits for the completion (on a platform thread) and returns the reply.
  AsioReply Wait();

 private:
  friend class AsioClient;
  AsioPendingRequest() = default;
  void Finish();

  PIRP irp_ = nullptr;
  PVOID systemBuffer_ = nullptr;
  ULONG outLength_ = 0;
  KEVENT done_{};
  NTSTATUS dispatchStatus_ = STATUS_PENDING;
  bool finished_ = false;
  AsioReply reply_;
  PDEVICE_OBJECT top_ = nullptr;
};

class AsioClient {
 public:
  // `device` is the functional device the interface names.
  AsioClient(PDEVICE_OBJECT device, bool is32Bit);
  ~AsioClient();
  AsioClient(const AsioClient&) = delete;
  AsioClient& operator=(const AsioClient&) = delete;

  // Opens and closes the client's handle on the interface (Close answers with the
  // cleanup's status; the close follows when the file object's last reference goes).
  NTSTATUS Open(const char16_t* fileName = u"\\QVASIOPrivateInterface");
  NTSTATUS Close();
  // Closes the handle of a device removed under it (nothing reaches a deleted device).
  void Forget();
  bool open() const { return file_ != nullptr; }
  bool is32Bit() const { return is32Bit_; }
  PFILE_OBJECT file() const { return file_; }

  // A request with `in` as input and an output buffer of `outLength` bytes.
  AsioReply Request(ULONG code, const std::vector<std::uint8_t>& in, ULONG outLength);
  std::unique_ptr<AsioPendingRequest> Begin(ULONG code, const std::vector<std::uint8_t>& in, ULONG outLength);

  // The handle as this client's width passes it (4 bytes from a 32-bit process).
  std::vector<std::uint8_t> HandleBytes(HANDLE handle) const;
  static std::vector<std::uint8_t> Ulong(ULONG value);
  static ULONG UlongAt(const AsioReply& reply, size_t offset);

  // The client's events: user handles to notification events, made on first use and
  // closed with the client.
  HANDLE NotificationHandle();
  HANDLE PeriodHandle();
  PKEVENT NotificationEvent() const { return notification_; }
  PKEVENT PeriodEvent() const { return period_; }

  // The common requests.
  NTSTATUS SetNotificationEvent();
  NTSTATUS ClearNotificationEvent();
  NTSTATUS SetValue(ULONG code, ULONG value);  // the u32-input codes
  ULONG GetValue(ULONG code, NTSTATUS* status = nullptr);  // the u32-output codes
  std::string DriverName(NTSTATUS* status = nullptr);

  // The buffers. CreateBuffers asks for the channels `pairs` ({is input, channel}) with a
  // period of `periodFrames`, with room for `entries` ring addresses of this client's
  // width; on success the rings it was given are mapped (a 4-byte address is found among
  // the process's mappings, as a 32-bit process sees its own) and open through Ring().
  struct ChannelPair {
    std::uint32_t isInput;
    std::uint32_t channel;
  };
  AsioReply CreateBuffers(const std::vector<ChannelPair>& pairs, std::uint32_t periodFrames, ULONG entries);
  NTSTATUS DisposeBuffers();
  // Start hands in the period event; Stop waits for a Stop the driver parks.
  NTSTATUS Start();
  NTSTATUS Stop();
  // The ring addresses of the last CreateBuffers (as the driver wrote them) and the rings
  // they name (null where an address names no mapping of the process).
  const std::vector<std::uint64_t>& addresses() const { return addresses_; }
  void* Ring(size_t index) const;
  // The request's wire form, for tests that send odd ones themselves.
  static std::vector<std::uint8_t> BufferRequest(const std::vector<ChannelPair>& pairs, std::uint32_t periodFrames);

  // The codes of the buffer requests, as the user-mode driver knows them.
  static constexpr ULONG kCreateBuffers = 0x1DE038;
  static constexpr ULONG kDisposeBuffers = 0x1DA03C;
  static constexpr ULONG kStart = 0x1DA040;
  static constexpr ULONG kStop = 0x1DA044;

 private:
  PDEVICE_OBJECT device_;
  bool is32Bit_;
  PFILE_OBJECT file_ = nullptr;
  HANDLE notificationHandle_ = nullptr;
  HANDLE periodHandle_ = nullptr;
  PKEVENT notification_ = nullptr;
  PKEVENT period_ = nullptr;
  std::vector<std::uint64_t> addresses_;
  std::vector<void*> rings_;
};

}  // namespace sim::engine
