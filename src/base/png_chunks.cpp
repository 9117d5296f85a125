#include "base/png_chunks.h"

#include <fmt/format.h>

#include <algorithm>
#include <string_view>

namespace png_chunks {

namespace {

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// A chunk type as it can be shown: four ASCII letters, else its bytes in hex.
std::string type_name(const std::uint8_t* p)
{
    const bool letters = std::all_of(p, p + 4, [](std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
    if (letters)
        return std::string(reinterpret_cast<const char*>(p), 4);
    return fmt::format("{:02x}{:02x}{:02x}{:02x}", p[0], p[1], p[2], p[3]);
}

} // namespace

bool is_png(std::span<const std::uint8_t> file)
{
    return file.size() >= sizeof SIGNATURE && std::equal(SIGNATURE, SIGNATURE + sizeof SIGNATURE, file.begin());
}

std::expected<void, std::string> check(std::span<const std::uint8_t> file)
{
    if (!is_png(file))
        return std::unexpected(std::string("no empieza como un PNG"));
    std::size_t at = sizeof SIGNATURE;
    bool first = true;
    while (at < file.size()) {
        const std::size_t left = file.size() - at;
        // Length, type and CRC: 12 bytes around the data.
        if (left < 12)
            return std::unexpected(fmt::format("termina a mitad de un bloque (quedan {} bytes)", left));
        const std::uint32_t length = be32(&file[at]);
        const std::string type = type_name(&file[at + 4]);
        if (length > MAX_CHUNK_LENGTH)
            return std::unexpected(fmt::format("el bloque {} dice ocupar {} bytes, más de lo que admite el formato", type, length));
        if (length > left - 12)
            return std::unexpected(fmt::format("el bloque {} dice ocupar {} bytes y al archivo le quedan {}", type, length, left - 12));
        if (first && type != "IHDR")
            return std::unexpected(fmt::format("el primer bloque es {}, no IHDR", type));
        first = false;
        at += 12 + std::size_t(length);
        if (type == "IEND")
            return {};
    }
    if (first)
        return std::unexpected(std::string("no tiene ningún bloque"));
    return {};
}

} // namespace png_chunks
