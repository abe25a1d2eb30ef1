// What the DSP takes from its host: pool blocks under a four-character tag and the
// kernel-debugger line. The driver installs its non-paged pool and DbgPrint here at
// load; until then the C heap serves, and lines go to stderr when UA_DBGPRINT is set.
// Replace the hooks only while no DSP object exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

struct DspHostHooks {
  void* (*allocate)(std::size_t bytes, std::uint32_t tag);  // null on failure
  void (*free)(void* block);
  void (*print)(const char* line);
};

// Installs hooks (null, or a table with a null member, reinstalls the defaults) and
// returns the previous ones.
DspHostHooks DspSetHostHooks(const DspHostHooks* hooks);

// A pool tag from its four characters, first character in the lowest byte (memory order).
constexpr std::uint32_t DspPoolTag(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}
inline constexpr std::uint32_t DSP_POOL_TAG_DSPS = DspPoolTag('D', 'S', 'P', 'S');
inline constexpr std::uint32_t DSP_POOL_TAG_SRCX = DspPoolTag('S', 'R', 'C', 'X');

// A block of the given size (zero-filled on request), or null.
void* DspAllocate(std::size_t bytes, std::uint32_t tag, bool zeroed);
// Returns a block of DspAllocate; null is ignored.
void DspFree(void* block);
// Formats one diagnostic line and hands it to the print hook.
void DspPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An object in a zero-filled pool block, constructed; null when the pool fails.
template <class T, class... Args>
T* DspNew(std::uint32_t tag, Args&&... args) {
  void* block = DspAllocate(sizeof(T), tag, true);
  if (block == nullptr) return nullptr;
  return new (block) T(std::forward<Args>(args)...);
}

// Destroys an object of DspNew and returns its block; null is ignored.
template <class T>
void DspDelete(T* object) {
  if (object == nullptr) return;
  object->~T();
  DspFree(object);
}
