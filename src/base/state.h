// state: the values several subsystems share on the main thread: the
// current settings, the last selected area and the last delivered capture.
//
// Every accessor runs on the main thread only (it stops the process with
// "hilo principal" otherwise). No lock is involved.
#pragma once

#include "base/config.h"

#include <QColorSpace>
#include <QImage>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace state {

// The last area selection: display id and rectangle in points, local to that
// display, top-left origin.
struct LastArea {
    std::uint32_t display_id = 0;
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const LastArea&) const = default;
};

// A picture held as the PNG bytes made of it, a fraction of its pixels:
// read back, it has the very pixels, layout and colour profile it had.
struct PngPicture {
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;
    QImage::Format format = QImage::Format_ARGB32_Premultiplied;
    QColorSpace color_space;
    // The picture; null when there are no bytes or they cannot be read. Any thread.
    QImage read() const;
};

// The last delivered or editor-saved capture.
struct LastShot {
    std::optional<std::filesystem::path> file; // set once its PNG file was written
    QImage image;
    double scale = 1.0; // pixels per point
    qint64 key = 0;     // the stored image's cacheKey, which names the shot
};

// The current settings; the first call loads them (config::Config::load).
std::shared_ptr<const config::Config> config();
// Replaces the held settings; readers keep the record they took.
void set_config(std::shared_ptr<const config::Config> config);

void set_last_area(const LastArea& area);
std::optional<LastArea> last_area();

// Replaces the last shot with a new one holding the image and scale, no file.
void set_last_shot(QImage image, double scale);
// Records the saved file in whatever last shot is held (dropped when none).
void record_last_shot_file(const std::filesystem::path& path);
// A copy of the last shot, or nothing when no capture was delivered; its
// picture read back from its PNG when that stands in for it.
std::optional<LastShot> last_shot();
// The key of the last shot held; 0 when none.
qint64 last_shot_key();
// When the last shot is still the one named `key`, it keeps the PNG made of
// its picture in place of the pixels (a screenful, otherwise held until the
// next capture).
void keep_last_shot_as_png(qint64 key, PngPicture png);

// The process arguments as main copied them before the toolkit took its own
// out; empty until main keeps them. Any thread, once set.
void keep_process_arguments(std::vector<std::string> args);
const std::vector<std::string>& process_arguments();

// Lets go of the single-instance socket and lock before the process is
// replaced (the relaunch); main installs it, null until then. Main thread.
std::function<void()>& instance_release();

// How the program ends as "Salir de Vistrope" ends it (a recording finished
// and published first); the shell installs it, empty until then. Main thread.
std::function<void()>& quit_handler();

// Clears every slot (tests only).
void reset_for_tests();

} // namespace state
