// quick_access: the after-capture cards in the corner of the screen.
//
// After every delivered capture, and every finished recording or GIF, a card
// shows the result in the bottom-left corner of the screen under the
// pointer. It reveals its buttons while hovered, can be dragged out as a
// file, and may close itself after a while. Up to five stand at once,
// newest lowest. Everything here runs on the main thread.
#pragma once

#include "base/state.h"
#include "cards/card_layout.h"
#include "capture/flash.h"

#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <functional>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

class QAbstractButton;

namespace quick_access {

// A caption in the card's lower-left corner.
struct CardBadge {
    std::optional<std::string> symbol; // system symbol name
    std::string text;
};

// What "Guardar" says once the card wrote its capture.
inline constexpr std::string_view SAVED_TOAST = "Captura guardada";

// Where the cards' actions lead. Defaults to the real modules; tests record.
struct Roads {
    std::function<void(QImage, double)> annotate;                       // editor
    std::function<void(QImage, double)> pin;                            // pinned capture
    std::function<void(const std::filesystem::path&)> copy_file;        // a file on the clipboard
    std::function<std::filesystem::path(const std::filesystem::path&)> gif_path_for;
    std::function<void(const std::filesystem::path& source, const std::filesystem::path& destination)> make_gif;
    std::function<void(const std::filesystem::path&)> edit_video;       // trim-and-export window
    std::function<void(const std::string&)> open_path;                  // default application
    // The file manager; `failure_toast` is what a toast says when no folder opens.
    std::function<void(const std::filesystem::path&, const std::string& failure_toast)> reveal;
    // The card wrote its capture itself ("Guardar" before delivery saved it).
    std::function<void(const std::filesystem::path&)> saved;
    // A failure the user must see: `toast` in a toast, `why` in the log.
    std::function<void(const std::string& toast, const std::string& why)> failed;
    // Reading files for their cards, on the background pool.
    std::function<std::optional<QImage>(const std::filesystem::path&, double largest_side)> thumbnail;
    std::function<std::optional<double>(const std::filesystem::path&)> duration;
};
Roads default_roads();
void set_roads(Roads roads);

// The card's picture of a capture: its part at least half opaque (a window
// without the transparent margin of its shadow; the whole picture when none
// is) scaled to fill `device` pixels and cropped to them, centred across and
// from the top down. The card's height follows the same part.
QImage fill_thumbnail(const QImage& image, QSize device);

} // namespace quick_access

// One card: its own floating panel at the status-window level.
class VistropeQuickCard final : public QWidget {
public:
    VistropeQuickCard(QImage image, quick_access::CardKind kind, double scale, double height);

    quick_access::CardKind kind() const { return m_kind; }
    // The whole picture: held until delivery's PNG arrives, then read back
    // from those bytes each time it is asked for.
    QImage image() const;
    // Whether the card holds the whole picture in memory, not only its PNG.
    bool holds_picture() const { return !m_image.isNull(); }
    double scale() const { return m_scale; }
    const std::optional<std::filesystem::path>& file() const { return m_file; }
    std::uint64_t delivery() const { return m_delivery; }
    bool hovered() const { return m_hovered; }
    bool closed() const { return m_closed; }
    // A drag of the card's file is under way (its loop is running).
    bool dragging() const { return m_dragging; }
    bool controls_shown() const { return m_controls; }
    const std::vector<QAbstractButton*>& buttons() const { return m_buttons; }

    void set_file(std::filesystem::path file) { m_file = std::move(file); }
    void set_delivery(std::uint64_t delivery) { m_delivery = delivery; }
    void set_badge(quick_access::CardBadge badge) { m_badge = std::move(badge); }
    const std::optional<quick_access::CardBadge>& badge() const { return m_badge; }
    // Shows or hides the dimming and the buttons.
    void show_controls(bool shown);

    // What a button, a double click or a drag does.
    void act(quick_access::Action action);
    // The card's file, written into the capture folder first when it has none.
    std::optional<std::filesystem::path> ensure_file();
    // Fades out and goes; the others move into place at once. Once only.
    // During a drag the card leaves the list at once and goes when the drag
    // ends: hiding the drag's source would end its pointer grab and leave
    // the drag waiting for a release it never sees.
    void close();
    // Fades the card in over `seconds` (shown at once without a compositor).
    void fade_in(double seconds);

    // The picture at the card's device pixels, made ahead on the background
    // pool while the window manager maps the card: kept when it still fits
    // and the card has not made its own.
    void take_thumbnail(QImage thumbnail);
    // The PNG bytes delivery made of a still's picture: from then on the
    // card keeps those and its thumbnail, not a second screenful of pixels.
    void take_png(std::shared_ptr<const std::vector<std::uint8_t>> png);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void drag_out();
    void fade(double to, double seconds, std::function<void()> done);
    void fade_out_and_go();
    // Lets the picture go once the PNG and the thumbnail stand in for it.
    void forget_picture();

    QImage m_image;
    state::PngPicture m_png; // no bytes until delivery's arrive
    QPixmap face(bool hovered);

    QPixmap m_thumbnail; // the picture at the card's device pixels, made once
    QPixmap m_face;      // the finished card, at rest and hovered
    QPixmap m_face_hovered;
    quick_access::CardKind m_kind;
    double m_scale;
    std::optional<std::filesystem::path> m_file;
    std::optional<quick_access::CardBadge> m_badge;
    std::uint64_t m_delivery = 0;
    std::vector<QAbstractButton*> m_buttons;
    std::optional<QPointF> m_drag_start;
    bool m_hovered = false;
    bool m_controls = false;
    bool m_closed = false;
    bool m_dragging = false;
};

namespace quick_access {

// Builds, lists, places and shows one card for `image`. `delivery` names the
// delivery that made the card (0 for cards of files already on disk): only
// that delivery's file is attached to it later. A null image makes none.
void show_card(QImage image, CardKind kind, std::optional<std::filesystem::path> file, std::optional<CardBadge> badge,
    std::optional<flash::Origin> origin, double scale, std::uint64_t delivery = 0);

// Cards for files already on disk: a GIF card for a ".gif" (any case), else
// a video card. They read the file on the background pool and show the card
// when done.
void show_file(std::filesystem::path path);
void show_video(std::filesystem::path path, std::optional<flash::Origin> origin = std::nullopt);
void show_gif(std::filesystem::path path);

// Hands the path of a freshly written capture file to the card that delivery
// `delivery` created, when it is still open and has no file yet; otherwise
// the path is dropped.
void attach_file(const std::filesystem::path& path, std::uint64_t delivery);
// Hands delivery `delivery`'s PNG bytes to the card it created, when still open.
void attach_png(std::shared_ptr<const std::vector<std::uint8_t>> png, std::uint64_t delivery);

// Restacks the open cards on the screen under the pointer.
void relayout();
// Shows the dimming and every button of the newest card without a pointer
// over it (for pictures of the card).
void reveal_newest();
inline void reveal_controls() { reveal_newest(); }

// Builds and drops one card ahead of the first capture (fonts, symbols).
void prewarm();

// The open cards, oldest first.
const std::vector<VistropeQuickCard*>& cards();
// Closes every card at once, without fading (quitting, and between tests).
void close_all();

// The first frame of a GIF file; none when it cannot be read. Any thread.
std::optional<QImage> gif_first_frame(const std::filesystem::path& path);
// A faint grey 16 × 9 picture for files whose picture cannot be read.
QImage placeholder();

} // namespace quick_access
