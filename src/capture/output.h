// output: delivery of a finished capture (shutter sound, last shot, dated PNG
// file, clipboard, after-capture card or flash) and the helpers every module
// uses to name, encode, save and copy images.
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
#include <ctime>
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

// The capture file name (without extension) for a local time:
// "Vistrope 2026-03-07 a las 09.05.02". The year has at least four digits.
std::string capture_name(const std::tm& local);
// The name for now, in local time.
std::string capture_name_now();

// The first free path in `dir` among "stem.ext", "stem (2).ext", "stem (3).ext"
// ... A name is taken when anything stands under it, a dangling symbolic link
// included, or when this process has chosen it for a file not published yet
// (see reserve_path), and so is one for which `also_taken` says so. Creates
// `dir` (with its parents) first; failures to create it are ignored. Any thread.
std::filesystem::path unique_path(const std::filesystem::path& dir, std::string_view stem, std::string_view ext,
    const std::function<bool(const std::filesystem::path&)>& also_taken = {});

// A name chosen as unique_path chooses it and held for this process until
// publish() or release(): a second delivery of the same second gets the next
// number, in delivery order, though nothing stands on disk under either name
// yet. An error when the folder cannot be made. Any thread.
struct Reserved {
    std::filesystem::path path;
    std::optional<std::string> error; // why nothing can be written there
    std::string stem;                 // what the name was made of
    std::string ext;
};
Reserved reserve_path(const std::filesystem::path& dir, std::string_view stem, std::string_view ext);
// Gives a reserved name back unused. Any thread.
void release(const Reserved& reserved);

// Writes the bytes to a hidden temporary beside the reserved name and then
// publishes it under that name, never replacing a file: when another program
// took the name meanwhile, the next free number is used. The path published,
// or the error (then nothing is left behind, hidden or not). Releases the
// reservation either way. Any thread.
std::expected<std::filesystem::path, std::string> publish(const Reserved& reserved, std::span<const std::uint8_t> bytes);

// Creates a new, empty hidden temporary beside `path` (".<name>.<random>",
// as publish() writes), for a writer that fills it over time; its path, or
// the error. Any thread.
std::expected<std::filesystem::path, std::string> create_temporary(const std::filesystem::path& path);
// Publishes a finished temporary (in the reserved name's folder) under the
// reserved name as publish() does: never replacing a file, the next free
// number on a clash. On failure the temporary stays where it is. Releases
// the reservation either way. Any thread.
std::expected<std::filesystem::path, std::string> publish_file(const Reserved& reserved,
    const std::filesystem::path& temporary);

// Whether a file name is one of publish()'s hidden temporaries.
bool is_temporary_name(std::string_view name);
// The name a hidden temporary stands for ("<name>" of ".<name>.<random>"),
// or none when `name` is not one.
std::optional<std::string> temporary_target(std::string_view name);
// Removes from `dir` the temporaries a crashed run left, once older than a
// day (a younger one may be another instance's, still being written); a
// recording's are left to recovery (record/recording_file.h). Any thread.
void remove_stale_temporaries(const std::filesystem::path& dir);

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

// The image cropped to its pixels that are not fully transparent; nothing when
// nothing needs cropping (no transparent border, or fully transparent) or the
// format has no 8-bit alpha in 32-bit pixels. Any thread.
std::optional<QImage> trim_transparent(const QImage& image);
// Where alpha sits in each 4-byte pixel of a format, or none.
std::optional<std::size_t> alpha_offset(QImage::Format format);

} // namespace output
