#include "platform/audio_buffer_list.h"

#include <cstring>

namespace tellwyn {

std::vector<std::byte> encodeAudioBufferList(std::span<const std::uint32_t> channelCounts) {
  std::vector<std::byte> bytes(kAudioBufferListHeaderBytes +
                               channelCounts.size() * kAudioBufferEntryBytes);
  const auto count = static_cast<std::uint32_t>(channelCounts.size());
  std::memcpy(bytes.data(), &count, sizeof count);
  for (std::size_t i = 0; i < channelCounts.size(); ++i) {
    std::memcpy(bytes.data() + kAudioBufferListHeaderBytes + i * kAudioBufferEntryBytes,
                &channelCounts[i], sizeof(std::uint32_t));
  }
  return bytes;
}

bool audioBufferListHasInputChannels(std::span<const std::byte> bytes) {
  std::uint32_t count = 0;
  if (bytes.size() < sizeof count) return false;
  std::memcpy(&count, bytes.data(), sizeof count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t offset = kAudioBufferListHeaderBytes + i * kAudioBufferEntryBytes;
    if (offset + sizeof(std::uint32_t) > bytes.size()) return false;
    std::uint32_t channels = 0;
    std::memcpy(&channels, bytes.data() + offset, sizeof channels);
    if (channels != 0) return true;
  }
  return false;
}

}  // namespace tellwyn
