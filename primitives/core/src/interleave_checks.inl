// Argument checks of interleave and de-interleave, shared by every build. Included
// inside the build's namespace; needs <cstdint>.
namespace {

inline bool Unaligned16(const void* p) { return (reinterpret_cast<std::uintptr_t>(p) & 15) != 0; }

// Null pointers first, then the channel count, then the length; each channel pointer
// in order. Returns an error, or SP_OK / SP_WARNING_UNALIGNED for valid arguments.
template <class ChannelArray>
spStatus CheckPlanarArguments(const void* pInterleaved, ChannelArray ppChannels, int channels, int len) {
  if (ppChannels == nullptr || pInterleaved == nullptr) return SP_ERROR_NULL;
  if (channels < 1) return SP_ERROR_CHANNEL_COUNT;
  if (len < 1) return SP_ERROR_LENGTH;
  spStatus result = Unaligned16(pInterleaved) ? SP_WARNING_UNALIGNED : SP_OK;
  for (int c = 0; c < channels; ++c) {
    if (ppChannels[c] == nullptr) return SP_ERROR_NULL;
    if (Unaligned16(ppChannels[c])) result = SP_WARNING_UNALIGNED;
  }
  return result;
}

inline void CopyElement(void* pDst, const void* pSrc) { std::memcpy(pDst, pSrc, 4); }

}  // namespace
