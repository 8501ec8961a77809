#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tellwyn {

// The byte layout of an input stream configuration: a 32-bit buffer count at
// offset 0, then from offset 8 one 16-byte entry per buffer whose first 32
// bits are that buffer's channel count (then its byte size and a data
// pointer, unused here). Integers are in host byte order.
inline constexpr std::size_t kAudioBufferListHeaderBytes = 8;
inline constexpr std::size_t kAudioBufferEntryBytes = 16;

// Builds the bytes for buffers with the given channel counts.
std::vector<std::byte> encodeAudioBufferList(std::span<const std::uint32_t> channelCounts);

// Walks the buffers in `bytes` in order and says whether one of them has a
// channel count other than 0. Never reads past the end of `bytes`: a list too
// short for its count counts only the entries that fit.
bool audioBufferListHasInputChannels(std::span<const std::byte> bytes);

}  // namespace tellwyn
