// The user-mode side of the ASIO rings as a real host drives them: it reads the header the
// driver publishes, writes render frames ahead of the driver's position and reads capture
// frames behind it, and checks what a host relies on: positions within the ring and whole
// frames, no render position passing what was written (a gap), no capture span read twice
// or skipped, periods only counting up.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "adapter/asio_rings.h"

namespace asio_test {

// A 24-bit little-endian sample.
inline void Put24(std::uint8_t* p, std::int32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
}
inline std::int32_t Get24(const std::uint8_t* p) {
  const std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
  return (v ^ 0x800000) - 0x800000;
}

class RingClient {
 public:
  // `ring` is the user address the driver handed out; `frameBytes` the client's frame.
  RingClient(void* ring, std::uint32_t frameBytes) : ring_(static_cast<std::uint8_t*>(ring)), frame_(frameBytes) {}

  const adapter::AsioRingHeader& Header() const { return *reinterpret_cast<const adapter::AsioRingHeader*>(ring_); }
  adapter::AsioRingHeader& MutableHeader() { return *reinterpret_cast<adapter::AsioRingHeader*>(ring_); }
  std::uint8_t* Data() { return ring_ + sizeof(adapter::AsioRingHeader); }
  std::uint32_t Field(std::uint32_t offset) const {
    return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(ring_ + offset), __ATOMIC_RELAXED);
  }
  std::uint32_t Position() const { return position_source_ ? position_source_() : Field(20); }
  std::uint32_t Periods() const { return periods_source_ ? periods_source_() : Field(36); }
  // A test whose header is overwritten by its own hostile writes reads the driver's
  // position and periods from the driver's own channel instead.
  void ReadFrom(std::function<std::uint32_t()> position, std::function<std::uint32_t()> periods) {
    position_source_ = std::move(position);
    periods_source_ = std::move(periods);
  }

  // After Start: remember the geometry the driver published (the host reads it once).
  void Begin() {
    size_ = Field(16);
    position_ = Position();
    write_ = position_;  // render: the start position
    lead_ = Field(28);
    periods_ = Periods();
  }

  // Render: takes the driver's new position and writes frames from `next` until `ahead`
  // bytes lie before the driver (at most the ring less one frame).
  void Render(std::uint32_t ahead, const std::function<void(std::uint8_t*)>& next) {
    if (!size_) return;  // not begun: the host does not use this ring
    Advance();
    if (consumed_ > written_) {
      // Behind the driver (found already): go on from where it is.
      write_ = position_;
      written_ = consumed_;
    }
    if (ahead > size_ - frame_) ahead = size_ - frame_;
    while (written_ - consumed_ < ahead) {
      next(Data() + write_);
      write_ += frame_;
      if (write_ >= size_) write_ = 0;
      written_ += frame_;
    }
  }
  // Capture: takes the driver's new position and hands every frame behind it to `take`.
  void Capture(const std::function<void(const std::uint8_t*)>& take) {
    if (!size_) return;
    const std::uint32_t from = position_;
    Advance();
    for (std::uint64_t b = 0, span = consumed_ - captured_; b < span; b += frame_) {
      take(Data() + (from + b) % size_);
    }
    captured_ = consumed_;
  }

  std::uint64_t written() const { return written_; }
  std::uint64_t moved() const { return consumed_; }
  std::uint32_t lead() const { return lead_; }
  std::uint32_t size() const { return size_; }
  const std::vector<std::string>& findings() const { return findings_; }

 private:
  void Advance() {
    const std::uint32_t p = Position();
    const std::uint32_t n = Periods();
    if (p >= size_ || p % frame_) Find("position " + std::to_string(p) + " outside the ring or not on a frame");
    if (n < periods_) Find("periods went back from " + std::to_string(periods_) + " to " + std::to_string(n));
    periods_ = n;
    consumed_ += (p + size_ - position_) % size_;
    position_ = p;
    if (written_ && consumed_ > written_) Find("the driver took " + std::to_string(consumed_ - written_) +
                                               " bytes the client had not written");
  }
  void Find(std::string what) {
    if (findings_.size() < 8) findings_.push_back(std::move(what));
  }

  std::uint8_t* ring_;
  std::uint32_t frame_;
  std::function<std::uint32_t()> position_source_, periods_source_;
  std::uint32_t size_ = 0, position_ = 0, write_ = 0, lead_ = 0, periods_ = 0;
  std::uint64_t written_ = 0, consumed_ = 0, captured_ = 0;
  std::vector<std::string> findings_;
};

}  // namespace asio_test
