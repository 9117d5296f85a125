// quick_access: the after-capture card in the corner of the screen.
#pragma once

#include "capture/flash.h"

#include <QImage>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace quick_access {

// What a card stands for; it decides the card's buttons.
enum class CardKind : unsigned char { Image = 0, Video = 1, Gif = 2 };

// A caption in the card's lower-left corner.
struct CardBadge {
    std::optional<std::string> symbol; // system symbol name
    std::string text;
};

// Builds, lists, places and shows one card for `image`. `delivery` names the
// delivery that made the card (0 for cards of files already on disk): only
// that delivery's file is attached to it later. Main thread.
void show_card(QImage image, CardKind kind, std::optional<std::filesystem::path> file, std::optional<CardBadge> badge,
    std::optional<flash::Origin> origin, double scale, std::uint64_t delivery = 0);

// Hands the path of a freshly written capture file to the card that delivery
// `delivery` created, when it is still open and has no file yet; otherwise
// the path is dropped. Main thread.
void attach_file(const std::filesystem::path& path, std::uint64_t delivery);

// Cards for files already on disk: a video (its thumbnail and duration read in
// the background, flying in from `origin` when given), a GIF (its first frame),
// or either, told by the file's extension. Main thread; return at once.
void show_video(const std::filesystem::path& path, std::optional<flash::Origin> origin = std::nullopt);
void show_gif(const std::filesystem::path& path);
void show_file(const std::filesystem::path& path);

// Builds the one hidden card ahead of the first capture. Main thread.
void prewarm();

} // namespace quick_access
