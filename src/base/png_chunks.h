// png_chunks: a PNG file's chunk layout, checked before any decoder sees it.
//
// A decoder trusts each chunk's stated length and allocates that much before
// it finds the file too short: a hundred bytes claiming a 2 GiB text chunk
// cost gigabytes before the picture is refused. Every place that hands PNG
// bytes to Qt walks them here first; a file this refuses is never decoded.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace png_chunks {

// The 8 bytes every PNG file begins with.
inline constexpr std::uint8_t SIGNATURE[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
// The format's own limit on a chunk's length (2^31 - 1).
inline constexpr std::uint32_t MAX_CHUNK_LENGTH = 0x7fff'ffff;

// Whether `file` begins with the PNG signature.
bool is_png(std::span<const std::uint8_t> file);

// Walks the chunks from the signature to IEND (or to the end of the bytes):
// each must lie whole within the file, with a length the format allows, and
// the first must be IHDR. Nothing is allocated. The error, in Spanish, names
// the chunk and what is wrong with it.
std::expected<void, std::string> check(std::span<const std::uint8_t> file);

} // namespace png_chunks
