// platform: message digests (OpenSSL's EVP).
//
// Any thread; nothing is shared between calls.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// The SHA-256 digest of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

// The SHA-256 digest of a file's content, read in large blocks, as 64
// lower-case hexadecimal digits. Fails with the reason when the file cannot
// be opened or read.
std::expected<std::string, std::string> sha256_file(const std::filesystem::path& path);

} // namespace platform
