// recorder: self-checks started from the command line. --debug-recorder
// checks the stream's rules and draws the controls without recording;
// --record-test runs one scripted recording and logs what it finds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

class QWidget;

namespace recorder {

// Prints its findings, writes "capsula.png", "aviso.png" and "borde.png"
// into `dir`, and returns 0 once it ran to the end. Main thread, with a display.
int debug_check(const std::filesystem::path& dir);

// Adjusts this run's settings from the environment and schedules the script;
// returns at once. The script ends the application. Main thread.
void record_test(const std::filesystem::path& dir);

// Draws the view into a PNG at `path` (a write error is ignored) and prints
// "dibujo: <path> (<w>×<h> px)".
void snapshot(QWidget* view, const std::filesystem::path& path);

// An unsigned 32-bit decimal with an optional leading "+"; none otherwise.
std::optional<std::uint32_t> parse_u32(std::string_view text);
// The pieces of a comma-separated list that read as numbers, in order.
std::vector<double> parse_numbers(std::string_view text);

} // namespace recorder
