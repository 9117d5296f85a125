// output: delivery of a finished capture (shutter sound, last shot, dated PNG
// file, clipboard, after-capture card or flash) and the helpers every module
// uses to encode, save and copy images. The file is named and published by
// base/publish.h.
//
// Delivery returns at once; rasterizing, encoding and writing run on the
// background pool and come back to the main thread for the clipboard, the
// last shot and the card.
#pragma once

#include "capture/flash.h"
#include "base/util.h"

#include <QImage>
#include <QRect>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace output {

enum class Kind : unsigned char { Area = 0, Window = 1, Fullscreen = 2, Scrolling = 3 };
// "Area", "Window", "Fullscreen", "Scrolling".
std::string_view kind_name(Kind kind);

// A finished capture handed to delivery.
struct Shot {
    std::optional<flash::Origin> origin; // where the confirmation flash starts
    QImage image;
    double scale = 1.0; // pixels per point of the display it came from
    Kind kind = Kind::Area;
};

// Premultiplied B, G, R, A bytes, rows top to bottom, 4 × width bytes a row.
struct Raster {
    std::vector<std::uint8_t> pixels;
    std::optional<std::vector<std::uint8_t>> icc; // the colour profile the pixels are in
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Delivers a capture: every enabled result, as the current settings say.
// Returns before the file is written; the stopwatch's laps follow each stage.
// Main thread.
void deliver(Shot shot, util::Stopwatch stopwatch);

// What one delivery did, reported on the main thread when it is complete
// (after its last lap: "listo en portapapeles", "listo en disco", "listo en
// portapapeles y disco" or "no guardada"). For tests and self-checks.
struct Delivered {
    std::uint64_t id = 0;
    Kind kind = Kind::Area;
    std::size_t png_bytes = 0;
    std::optional<std::filesystem::path> path; // the file written, when saving succeeded
    bool copied = false;                       // the PNG went to the clipboard
    bool card = false;                         // an after-capture card was shown
    bool flash_in_place = false;               // the flash played without a card
    std::optional<std::string> save_error;     // saving was on and failed: why
};
// The last lap of a delivery: what it did.
std::string_view done_text(bool copied, bool saved);
// Installs the listener (none: nothing is reported). Main thread.
void set_delivered_listener(std::function<void(const Delivered&)> listener);

// Where finished captures and files are shown: the after-capture cards
// install it at launch (app::install_listeners). Members left empty show
// nothing. Called on the main thread.
struct Cards {
    // A still just delivered, before its file exists; `delivery` is its id.
    std::function<void(QImage image, std::optional<flash::Origin> origin, double scale, std::uint64_t delivery)> show_capture;
    // The file a delivery wrote, for the card showing it.
    std::function<void(const std::filesystem::path& path, std::uint64_t delivery)> attach_file;
    // The PNG bytes a delivery made (written or not), for the card showing
    // it to keep in place of the picture.
    std::function<void(std::shared_ptr<const std::vector<std::uint8_t>> png, std::uint64_t delivery)> attach_png;
    // A finished recording; its flash starts at `origin` when given.
    std::function<void(const std::filesystem::path& path, std::optional<flash::Origin> origin)> show_video;
    // A finished file of any other kind (an export, a converted GIF).
    std::function<void(const std::filesystem::path& path)> show_file;
    // Where the cards on screen stand (global, top-left origin), so a window
    // opening beside them can keep clear.
    std::function<std::vector<QRect>()> frames;
};
// Lets go of the shutter sound's player (quitting); a later capture makes it
// again. Main thread.
void release_sound();

// Replaces the card sink. Main thread.
void set_cards(Cards cards);
// The card sink in force. Main thread.
const Cards& cards();

// The image as premultiplied BGRA with 4 × width bytes a row, and its colour
// profile: the image's own when it has one, else sRGB (screen grabs on X11
// carry none). Any thread.
Raster rasterize(const QImage& image);

// The PNG file bytes of an image, with its colour profile and the scale as
// physical resolution. Any thread.
std::vector<std::uint8_t> encode(const QImage& image, double scale);

// Encodes the image and writes it as a new dated file in the capture folder;
// the written path, or the error. Main thread (reads the settings).
std::expected<std::filesystem::path, std::string> save_image(const QImage& image, double scale);
// The same for PNG bytes already made. Main thread.
std::expected<std::filesystem::path, std::string> save_png(std::span<const std::uint8_t> png);

// Replaces the clipboard's contents with the PNG bytes (image/png). Main thread.
void copy_png(std::span<const std::uint8_t> png);
// The same with bytes the caller shares: the clipboard keeps them and copies
// them only when something asks for them. Main thread.
void copy_png(std::shared_ptr<const std::vector<std::uint8_t>> png);

// The image cropped to its pixels that are not fully transparent; nothing when
// nothing needs cropping (no transparent border, or fully transparent) or the
// format has no 8-bit alpha in 32-bit pixels. Any thread.
std::optional<QImage> trim_transparent(const QImage& image);
// Where alpha sits in each 4-byte pixel of a format, or none.
std::optional<std::size_t> alpha_offset(QImage::Format format);

} // namespace output
