// selfcheck: the editor's scripted check, run by `vistrope --editor-render
// IN OUT`. It opens a real editor window on a picture file, fills it with a
// document holding every kind of annotation, drives the editing through the
// same calls the overlay's pointer and the text field make, checks what they
// did, times full repaints of the overlay and writes seven PNG files.
//
// Progress goes to the log; the first failed step ends the check with its
// message (Spanish). Main thread, with the application object made.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace editor {

// Runs the check on the picture at `input`, writing beside `output`.
std::expected<void, std::string> debug_render(const std::string& input, const std::string& output);

// Where one of the check's files goes: `output` itself for the plain export,
// else `output` with its file name replaced by "STEM-SUFFIX.png".
std::filesystem::path self_check_file(const std::filesystem::path& output, std::string_view suffix);

// The resolution a PNG file states in its pHYs chunk, in dots per inch;
// none without the chunk, with a unit other than the metre, or for bytes
// that are no PNG.
std::optional<double> png_dots_per_inch(std::span<const std::uint8_t> file);

// Pixels per point of a picture `pixel_width` pixels wide at `dpi` (72
// points an inch); 1 without a resolution or with one outside 0.25–8
// pixels a point, never below 1.
double picture_scale(std::uint64_t pixel_width, std::optional<double> dpi);

} // namespace editor
