// selftest: the timed self-test of the screenshot path (--selftest).
//
// A fixed chain of steps on the main queue measures capture and overlay
// latencies, drives the overlay, the mode bar, the flash, the card, a pin,
// the editor and a window capture through their debug hooks, photographs the
// screen after each state, notes every observation in a report and quits.
// It asserts nothing itself: a person or a script reads the report and the
// pictures. The program runs normally alongside. Main thread only.
#pragma once

#include "capture/overlay_geometry.h"

#include <QImage>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace selftest {

// The run's notes, shared by every pending step.
struct Report {
    std::filesystem::path folder;
    std::vector<std::string> lines;
    bool failed = false; // a step could not do what it says: the run ends with status 1
};
using SharedReport = std::shared_ptr<Report>;

// Creates the folder (a failure is ignored) and the report, and starts the
// chain 1.5 s later; returns at once.
void schedule(const std::filesystem::path& folder);

// Logs the line and appends it to the report.
void note(Report& report, std::string line);
// Writes "report.txt" (lines joined by "\n" and a final "\n") and asks the
// program to quit: status 0 when every step and the report's writing did
// what they say, 1 otherwise.
void finish(const Report& report);

// The chain's steps, in order.
void start(SharedReport report);
void latency_round(SharedReport report, int round);
void overlay_round(SharedReport report);
void after_capture(SharedReport report);
void window_round(SharedReport report);

// The main or first screen as the chain needs it.
struct ScreenInfo {
    std::uint32_t display_id = 0;
    double scale = 1.0;
    double width = 0;  // points
    double height = 0; // points
    platform::RectF frame; // global points, bottom-left origin
};

// The session's (mode, purpose) as the report writes it: "(Area, Screenshot)", or "None".
std::string session_text(const std::optional<std::pair<overlay::Mode, overlay::Purpose>>& session);
// File names as the report lists them: ["full.png", "overlay.png"].
std::string list_text(const std::vector<std::string>& names);

// Everything the chain reaches; each member defaults to the real module.
struct Services {
    std::function<bool()> permission;
    std::function<void(double seconds, std::function<void()> job)> after;
    std::function<std::optional<ScreenInfo>()> main_screen;
    // The whole main display, own windows left out or not; the image or none.
    std::function<void(const ScreenInfo& screen, bool exclude_self, std::function<void(std::optional<QImage>)> done)>
        capture;
    std::function<void(overlay::Mode, overlay::Purpose)> overlay_begin;
    std::function<void()> overlay_cancel;
    std::function<void(modebar::Choice)> overlay_choose;
    std::function<std::optional<std::pair<overlay::Mode, overlay::Purpose>>()> session;
    std::function<void(modebar::Choice)> modebar_click;
    std::function<void(modebar::Choice)> modebar_hover;
    std::function<void(const platform::RectF& rect, double x, double y)> overlay_select;
    std::function<void(double x, double y)> overlay_hover;
    std::function<void(const platform::RectF& rect)> overlay_finish;
    std::function<void(platform::PointF global)> overlay_click_global;
    // Whether the pointer shows the crosshair; none when there is no current cursor.
    std::function<std::optional<bool>()> crosshair_shown;
    // Shows the controls of the newest after-capture card, as a hover would.
    std::function<void()> reveal_newest_card;
    std::function<std::optional<std::pair<QImage, double>>()> last_shot;
    // Names the last shot (0 when none): a new capture has a new key, while
    // the picture above may be read anew at each call.
    std::function<qint64()> last_shot_key;
    std::function<void(QImage, double)> pin;
    std::function<void()> close_pins;
    std::function<void(QImage, double)> open_editor;
    std::function<void(int status)> quit;
};
Services& services();
void reset_services();

} // namespace selftest
