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
// returns at once. The script ends the application: status 0 once a video
// was written, 1 otherwise. Main thread.
void record_test(const std::filesystem::path& dir);

// Draws the view into a PNG at `path` and prints "dibujo: <path> (<w>×<h>
// px)", or "dibujo: no pude escribir <path>" and false when it could not.
bool snapshot(QWidget* view, const std::filesystem::path& path);

// An unsigned 32-bit decimal with an optional leading "+"; none otherwise.
std::optional<std::uint32_t> parse_u32(std::string_view text);
// The pieces of a comma-separated list that read as numbers, in order.
std::vector<double> parse_numbers(std::string_view text);

} // namespace recorder
