// scroll: the `--scroll-test` self-test and its parts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace scroll {

// Schedules the whole run in `folder` and returns at once; the process ends
// with status 0 once a new capture file was found, 1 after the time limit.
// Main thread.
void scroll_test(const std::string& folder);

// The long HTML document the test window shows (the same on every run).
std::string test_document();
// A PNG file's height from its IHDR chunk; none for anything else.
std::optional<std::uint32_t> png_height(const std::filesystem::path& path);
// The "Vistrope *.png" names in a folder.
std::set<std::string> capture_names(const std::filesystem::path& folder);
// The first capture file of the folder not among `before`.
std::optional<std::filesystem::path> new_capture(const std::filesystem::path& folder, const std::set<std::string>& before);

} // namespace scroll
