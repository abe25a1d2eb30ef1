#include "sim/engine/asio_ring.h"

namespace sim::engine {
namespace {

// The driver writes header fields whole while the host reads them.
std::uint32_t Load(const std::uint8_t* p) {
  return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(p), __ATOMIC_RELAXED);
}

}  // namespace

AsioRing::AsioRing(void* ring, std::uint32_t frameBytes)
    : ring_(static_cast<std::uint8_t*>(ring)), frame_(frameBytes ? frameBytes : 1) {}

std::uint32_t AsioRing::Read(Field field) const { return Load(ring_ + field); }

void AsioRing::Write(Field field, std::uint32_t value) {
  __atomic_store_n(reinterpret_cast<std::uint32_t*>(ring_ + field), value, __ATOMIC_RELAXED);
}

void AsioRing::ReadFrom(std::function<std::uint32_t()> position, std::function<std::uint32_t()> periods) {
  positionSource_ = std::move(position);
  periodsSource_ = std::move(periods);
}

std::uint32_t AsioRing::Position() const { return positionSource_ ? positionSource_() : Read(kPosition); }
std::uint32_t AsioRing::Periods() const { return periodsSource_ ? periodsSource_() : Read(kPeriods); }

void AsioRing::Begin() {
  size_ = Read(kDataSize);
  position_ = Position();
  write_ = position_;
  lead_ = Read(kLead);
  periods_ = Periods();
  written_ = consumed_ = captured_ = 0;
  if (size_ && (position_ >= size_ || size_ % frame_)) Find("the ring's geometry is not whole frames");
}

void AsioRing::Render(std::uint32_t ahead, const std::function<void(std::uint8_t*)>& next) {
  if (!begun()) return;
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

void AsioRing::Capture(const std::function<void(const std::uint8_t*)>& take) {
  if (!begun()) return;
  const std::uint32_t from = position_;
  Advance();
  for (std::uint64_t b = 0, span = consumed_ - captured_; b < span; b += frame_) take(Data() + (from + b) % size_);
  captured_ = consumed_;
}

void AsioRing::Advance() {
  const std::uint32_t p = Position();
  const std::uint32_t n = Periods();
  if (p >= size_ || p % frame_) {
    Find("position " + std::to_string(p) + " outside the ring or not on a frame");
    return;
  }
  if (n < periods_) Find("periods went back from " + std::to_string(periods_) + " to " + std::to_string(n));
  periods_ = n;
  consumed_ += (p + size_ - position_) % size_;
  position_ = p;
  if (written_ && consumed_ > written_)
    Find("the driver took " + std::to_string(consumed_ - written_) + " bytes the host had not written");
}

void AsioRing::Find(std::string what) {
  if (findings_.size() < 8) findings_.push_back(std::move(what));
}

}  // namespace sim::engine
