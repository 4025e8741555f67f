// WAV files as bytes, for the tests of sound.
#pragma once

#include <cstdint>
#include <string>

inline std::string le16(std::uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}

inline std::string le32(std::uint32_t v) { return le16(v) + le16(v >> 16); }

// A WAV file of integer PCM samples: its format (`tag` 1, or 0xFFFE for the
// extensible form), `before` (other chunks) and `data`, its size written as
// `dataSize` when that is not -1.
inline std::string wavBytes(std::uint32_t channels, std::uint32_t rate, std::uint32_t bits,
                            const std::string& data, std::uint32_t tag = 1,
                            const std::string& before = "", long long dataSize = -1) {
    const std::uint32_t align = channels * bits / 8;
    std::string fmt =
        le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
    if (tag == 0xFFFE) {  // valid bits, channel mask, the sub-format GUID
        fmt += le16(22) + le16(bits) + le32(3) + le16(1) + std::string(14, '\x10');
    }
    const auto size =
        static_cast<std::uint32_t>(dataSize < 0 ? static_cast<long long>(data.size()) : dataSize);
    const std::string chunks = "fmt " + le32(static_cast<std::uint32_t>(fmt.size())) + fmt +
                               before + "data" + le32(size) + data;
    return "RIFF" + le32(static_cast<std::uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
}
