// The user-mode side of one ASIO ring buffer, as a real ASIO host drives it once the
// driver has mapped the ring into its process: it reads the 40-byte header the driver
// publishes (its own reading of the layout, kept apart from the driver's), writes render
// frames ahead of the driver's position and reads capture frames behind it, and checks
// what a host relies on: the position inside the ring and on a frame, never passing what
// was written (a gap), periods only counting up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::engine {

class AsioRing {
 public:
  // Header fields, byte offsets (u32 little-endian each); the data follows at 40.
  enum Field : std::uint32_t {
    kActive = 0,
    kIsInput = 4,
    kChannels = 8,
    kFirstChannel = 12,
    kDataSize = 16,
    kPosition = 20,
    kStartPosition = 24,
    kLead = 28,
    kSignals = 32,
    kPeriods = 36,
  };
  static constexpr std::uint32_t kHeaderBytes = 40;

  // `ring` is the user address the driver handed out; `frameBytes` the host's frame.
  AsioRing(void* ring, std::uint32_t frameBytes);

  std::uint32_t Read(Field field) const;
  // A hostile host writes into its header as it likes; the driver must not care.
  void Write(Field field, std::uint32_t value);
  std::uint8_t* Data() { return ring_ + kHeaderBytes; }

  // A test whose header is overwritten by its own hostile writes reads the driver's
  // position and periods from elsewhere (the driver's own channel).
  void ReadFrom(std::function<std::uint32_t()> position, std::function<std::uint32_t()> periods);
  std::uint32_t Position() const;
  std::uint32_t Periods() const;

  // After Start: takes the geometry the driver published (a host reads it once) and
  // starts writing (render) or reading (capture) at the driver's position.
  void Begin();
  bool begun() const { return size_ != 0; }

  // Render: takes the driver's new position and writes frames from `next` until `ahead`
  // bytes lie before the driver (at most the ring less one frame).
  void Render(std::uint32_t ahead, const std::function<void(std::uint8_t*)>& next);
  // Capture: takes the driver's new position and hands every frame behind it to `take`.
  void Capture(const std::function<void(const std::uint8_t*)>& take);

  std::uint64_t written() const { return written_; }
  std::uint64_t moved() const { return consumed_; }
  std::uint32_t lead() const { return lead_; }
  std::uint32_t size() const { return size_; }
  const std::vector<std::string>& findings() const { return findings_; }

 private:
  void Advance();
  void Find(std::string what);

  std::uint8_t* ring_;
  std::uint32_t frame_;
  std::function<std::uint32_t()> positionSource_, periodsSource_;
  std::uint32_t size_ = 0, position_ = 0, write_ = 0, lead_ = 0, periods_ = 0;
  std::uint64_t written_ = 0, consumed_ = 0, captured_ = 0;
  std::vector<std::string> findings_;
};

}  // namespace sim::engine
