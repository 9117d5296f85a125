#include "cards/quick_access.h"

#include "base/config.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "capture/output.h"
#include "cards/pin.h"
#include "codec/imageops.h"
#include "editor/mod.h"
#include "platform/panels.h"
#include "platform/screens.h"
#include "platform/symbols.h"
#include "platform/workspace.h"
#include "record/recording_file.h"
#include "record/video.h"
#include "record/video_editor.h"
#include "ui/hud.h"

#include <QDrag>
#include <QEnterEvent>
#include <QFile>
#include <QImageReader>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVariantAnimation>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fs = std::filesystem;

namespace quick_access {

namespace {

constexpr int CARD_LEVEL = 25; // the status-window level
constexpr double CORNER = 12;

std::vector<VistropeQuickCard*>& list()
{
    util::require_main_thread("hilo principal");
    static std::vector<VistropeQuickCard*> cards;
    return cards;
}

Roads& current_roads()
{
    static Roads roads = default_roads();
    return roads;
}

void forget(VistropeQuickCard* card)
{
    auto& l = list();
    l.erase(std::remove(l.begin(), l.end(), card), l.end());
}

QFont ui_font(double pixels, QFont::Weight weight)
{
    QFont f(QStringLiteral("Inter"));
    f.setPixelSize(static_cast<int>(pixels));
    f.setWeight(weight);
    return f;
}

QAbstractButton* make_button(const ButtonSpec& spec, QWidget* parent)
{
    QAbstractButton* button = nullptr;
    if (spec.symbol.empty()) {
        auto* pill = new QPushButton(QString::fromStdString(spec.title), parent);
        pill->setFont(ui_font(13, QFont::DemiBold));
        pill->setStyleSheet(QStringLiteral("QPushButton { background: rgba(255, 255, 255, 240); color: rgb(26, 26, 31);"
                                           " border: none; border-radius: %1px; }")
                                .arg(spec.radius));
        button = pill;
    } else {
        const QImage icon = platform::symbols::image(spec.symbol, 16, Qt::white, parent->devicePixelRatioF());
        if (icon.isNull())
            return nullptr; // a missing symbol leaves its button out
        auto* tool = new QToolButton(parent);
        tool->setIcon(QIcon(QPixmap::fromImage(icon)));
        tool->setIconSize(QSize(16, 16));
        tool->setStyleSheet(QStringLiteral("QToolButton { background: rgba(0, 0, 0, 115); border: none; border-radius: %1px; }")
                                .arg(spec.radius));
        button = tool;
    }
    if (!spec.description.empty()) {
        button->setToolTip(QString::fromStdString(spec.description));
        button->setAccessibleName(QString::fromStdString(spec.description));
    }
    button->setCursor(Qt::ArrowCursor);
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(QRectF(spec.frame.x, spec.frame.y, spec.frame.w, spec.frame.h).toRect());
    button->hide();
    return button;
}

// The bytes of a file for the drag's data, when it can be read.
QByteArray file_bytes(const fs::path& path)
{
    QFile f(QString::fromStdString(path.string()));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace

namespace {

// Where a picture's alpha byte sits, for the layouts captures come in; none
// for pictures without alpha (or in a layout we would have to convert, a
// whole copy on the main thread, just to look).
std::optional<std::size_t> alpha_byte(QImage::Format format)
{
    switch (format) {
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 3 : 0; // one native word 0xAARRGGBB
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied:
        return 3;
    default:
        return std::nullopt;
    }
}

imageops::View view_of(const QImage& image)
{
    return { { image.constBits(), static_cast<std::size_t>(image.sizeInBytes()) }, static_cast<std::size_t>(image.width()),
        static_cast<std::size_t>(image.height()), static_cast<std::size_t>(image.bytesPerLine()) };
}

QRect shown_part(const QImage& image)
{
    const auto offset = alpha_byte(image.format());
    if (image.isNull() || !offset)
        return image.rect();
    const imageops::Rect part = picture_part(view_of(image), *offset);
    return QRect(static_cast<int>(part.x), static_cast<int>(part.y), static_cast<int>(part.w), static_cast<int>(part.h));
}

} // namespace

// The capture's shown part (a window without its shadow's margin) scaled to
// fill `device` pixels, cropped to it: centred across, from the top down,
// since the top of a long (scrolling) capture is what the user recognises,
// where its middle may be any stretch of the page. A large capture is first
// boxed down by a whole factor (the program's own downscale), so the smooth
// pass only reads a card-sized picture, not all of a 5K capture.
QImage fill_thumbnail(const QImage& image, QSize device)
{
    QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRect part = shown_part(source);
    const double cover = std::max(double(device.width()) / part.width(), double(device.height()) / part.height());
    const auto factor = static_cast<std::size_t>(std::floor(1 / cover));
    if (factor >= 2) {
        // The box pass reads the part in place: the margin is never copied.
        imageops::View view = view_of(source);
        const std::size_t first = static_cast<std::size_t>(part.y()) * view.stride + 4 * static_cast<std::size_t>(part.x());
        view.data = view.data.subspan(first);
        view.width = static_cast<std::size_t>(part.width());
        view.height = static_cast<std::size_t>(part.height());
        imageops::Image boxed = imageops::downscale(view, factor);
        QImage wrapped(boxed.pixels.data(), static_cast<int>(boxed.width), static_cast<int>(boxed.height),
            static_cast<qsizetype>(boxed.width * 4), QImage::Format_ARGB32_Premultiplied);
        source = wrapped.copy();
    } else if (part != source.rect()) {
        source = source.copy(part);
    }
    QImage fill = source.scaled(device, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    return fill.copy((fill.width() - device.width()) / 2, 0, device.width(), device.height());
}

Roads default_roads()
{
    Roads r;
    r.annotate = [](QImage image, double scale) { editor::open(std::move(image), scale); };
    r.pin = [](QImage image, double scale) { pin::pin(std::move(image), scale); };
    r.copy_file = [](const fs::path& path) { video::copy_file(path); };
    r.gif_path_for = [](const fs::path& source) { return video::gif_path_for(source); };
    r.make_gif = [](const fs::path& source, const fs::path& destination) {
        const auto cfg = state::config();
        video::make_gif(source, video::GifSettings { std::nullopt, cfg->recording.gif_fps, cfg->recording.gif_max_width },
            destination, false, video::FromCard {});
    };
    r.edit_video = [](const fs::path& path) { video_editor::open(path); };
    r.open_path = [](const std::string& path) {
        platform::open_path(path, [](const std::string& why) { current_roads().failed("No se pudo abrir el archivo", why); });
    };
    r.failed = [](const std::string& toast, const std::string& why) {
        util::log(why);
        hud::toast("exclamationmark.triangle", toast, 2.0);
    };
    // The opener's answer comes on its reaping thread, after the card may
    // have gone: the toast still says it.
    r.reveal = [](const fs::path& path, const std::string& failure_toast) {
        platform::reveal(path, [failure_toast](const std::string& why) {
            util::on_main([failure_toast, why] { current_roads().failed(failure_toast, why); });
        });
    };
    r.saved = [](const fs::path& path) {
        util::log(fmt::format("la tarjeta guardó {}", path.string()));
        hud::toast("checkmark.circle", SAVED_TOAST, 1.6);
    };
    r.thumbnail = [](const fs::path& path, double side) { return video::thumbnail(path, side); };
    r.duration = [](const fs::path& path) -> std::optional<double> {
        if (auto facts = video::info(path))
            return facts->duration;
        return std::nullopt;
    };
    return r;
}

void set_roads(Roads roads)
{
    current_roads() = std::move(roads);
}

void show_card(QImage image, CardKind kind, std::optional<fs::path> file, std::optional<CardBadge> badge,
    std::optional<flash::Origin> origin, double scale, std::uint64_t delivery)
{
    util::require_main_thread("hilo principal");
    if (image.isNull()) {
        util::log("tarjeta: no hay imagen que mostrar");
        return;
    }
    // The card takes the shape of what it shows: a window, not its shadow.
    const QRect part = shown_part(image);
    const double h = card_height(part.width(), part.height());
    const QImage source = image; // shared, for the picture made ahead
    auto* card = new VistropeQuickCard(std::move(image), kind, scale, h);
    platform::make_panel(card, CARD_LEVEL, platform::Mouse::Accepts);
    if (!platform::compositor_running()) {
        QPainterPath path;
        path.addRoundedRect(QRectF(0, 0, CARD_WIDTH, h), CORNER, CORNER);
        card->setMask(QRegion(path.toFillPolygon().toPolygon()));
    }
    const std::optional<double> landing = origin ? flash::landing_delay(*origin) : std::nullopt;
    if (file)
        card->set_file(std::move(*file));
    card->set_delivery(delivery);
    if (badge)
        card->set_badge(std::move(*badge));

    auto& l = list();
    if (l.size() >= MAX_CARDS) {
        // The oldest gives way at once: no fade, and nothing of it lives on.
        VistropeQuickCard* oldest = l.front();
        l.erase(l.begin());
        if (oldest->dragging()) {
            oldest->close(); // it goes once its drag ends
        } else {
            oldest->hide();
            oldest->deleteLater();
        }
    }
    l.push_back(card);
    relayout();
    // The card's picture is made on the background pool while the window
    // manager maps the card, not on the main thread at its first paint: a
    // 5K capture is read whole for it.
    const qreal dpr = card->devicePixelRatioF();
    const QSize device(std::lround(card->width() * dpr), std::lround(card->height() * dpr));
    QPointer<VistropeQuickCard> ahead(card);
    util::in_background([ahead, source, device] {
        QImage thumbnail = fill_thumbnail(source, device);
        util::on_main([ahead, thumbnail = std::move(thumbnail)]() mutable {
            if (ahead)
                ahead->take_thumbnail(std::move(thumbnail));
        });
    });
    card->setWindowOpacity(0);
    card->show();

    QPointer<VistropeQuickCard> guard(card);
    if (landing) {
        // The flash starts now, the picture flying to where the card stands;
        // the card fades in as it lands.
        flash::play(*origin, platform::window_frame(card->geometry()));
        util::after(*landing, [guard] {
            if (guard && !guard->closed())
                guard->fade_in(0.08);
        });
    } else {
        card->fade_in(0.12);
        if (origin)
            flash::play(*origin, std::nullopt);
    }

    const double seconds = state::config()->quick_access_seconds;
    if (seconds > 0) {
        util::after(seconds, [guard] {
            if (guard && !guard->hovered())
                guard->close();
        });
    }
}

void show_file(fs::path path)
{
    if (video::has_gif_extension(path))
        show_gif(std::move(path));
    else
        show_video(std::move(path), std::nullopt);
}

void show_gif(fs::path path)
{
    util::in_background([path = std::move(path)]() mutable {
        std::optional<QImage> first = gif_first_frame(path);
        util::on_main([path = std::move(path), first = std::move(first)]() mutable {
            QImage image = first ? std::move(*first) : placeholder();
            show_card(std::move(image), CardKind::Gif, std::move(path), CardBadge { std::nullopt, "GIF" }, std::nullopt, 1.0);
        });
    });
}

void show_video(fs::path path, std::optional<flash::Origin> origin)
{
    const Roads roads = current_roads();
    util::in_background([roads, path = std::move(path), origin = std::move(origin)]() mutable {
        std::optional<QImage> thumbnail = roads.thumbnail(path, 640);
        const double seconds = roads.duration(path).value_or(0.0);
        util::on_main([path = std::move(path), origin = std::move(origin), thumbnail = std::move(thumbnail), seconds]() mutable {
            QImage image = thumbnail && !thumbnail->isNull() ? std::move(*thumbnail) : placeholder();
            // A recording the writer could not complete says so on its card too.
            CardBadge badge { "video.fill", duration_badge(seconds) };
            if (recorder::is_incomplete_name(path.filename().string()))
                badge = { "exclamationmark.triangle", "Incompleta · " + duration_badge(seconds) };
            show_card(std::move(image), CardKind::Video, std::move(path), std::move(badge), std::move(origin), 2.0);
        });
    });
}

void attach_file(const fs::path& path, std::uint64_t delivery)
{
    // Only the card this delivery made takes its file, and only once: a
    // newer capture's card, or one saved by its own button, keeps its own.
    for (VistropeQuickCard* card : list())
        if (card->delivery() == delivery && delivery != 0 && card->kind() == CardKind::Image && !card->file() && !card->closed()) {
            card->set_file(path);
            return;
        }
}

void attach_png(std::shared_ptr<const std::vector<std::uint8_t>> png, std::uint64_t delivery)
{
    for (VistropeQuickCard* card : list())
        if (card->delivery() == delivery && delivery != 0 && card->kind() == CardKind::Image && !card->closed()) {
            card->take_png(std::move(png));
            return;
        }
}

void relayout()
{
    const std::optional<platform::Screen> screen = platform::screen_of_pointer();
    if (!screen)
        return;
    const auto& l = list();
    std::vector<double> heights;
    for (auto it = l.rbegin(); it != l.rend(); ++it)
        heights.push_back((*it)->height());
    const auto frames = stack(screen->visible_frame, heights);
    for (std::size_t i = 0; i < frames.size(); ++i)
        l[l.size() - 1 - i]->setGeometry(platform::window_rect(frames[i]));
    hud::keep_clear_changed(); // a toast already up steps off a card that came under it
}

void reveal_newest()
{
    if (!list().empty())
        list().back()->show_controls(true);
}

void prewarm()
{
    QImage one(1, 1, QImage::Format_ARGB32_Premultiplied);
    one.fill(Qt::transparent);
    VistropeQuickCard card(std::move(one), CardKind::Image, 1.0, 96);
    card.ensurePolished();
}

const std::vector<VistropeQuickCard*>& cards()
{
    return list();
}

std::optional<QImage> gif_first_frame(const fs::path& path)
{
    std::error_code ec;
    if (fs::is_directory(path, ec))
        return std::nullopt;
    QImageReader reader(QFile::decodeName(QByteArray::fromStdString(path.native())), "gif");
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    return image;
}

QImage placeholder()
{
    // Every byte 48, already premultiplied: white at a fifth of full
    // strength, a light veil over the card's dark ground. (A QColor fill
    // would premultiply 48 once more, to a dark 9.)
    QImage image(16, 9, QImage::Format_RGBA8888_Premultiplied);
    std::memset(image.bits(), 48, static_cast<std::size_t>(image.sizeInBytes()));
    return image;
}

void close_all()
{
    const std::vector<VistropeQuickCard*> closing = std::exchange(list(), {});
    for (VistropeQuickCard* card : closing) {
        card->hide();
        card->deleteLater();
    }
}

} // namespace quick_access

using quick_access::Action;
using quick_access::CardKind;

VistropeQuickCard::VistropeQuickCard(QImage image, CardKind kind, double scale, double height)
    : m_image(std::move(image))
    , m_png { nullptr, m_image.format(), m_image.colorSpace() }
    , m_kind(kind)
    , m_scale(scale)
{
    setAttribute(Qt::WA_Hover);
    resize(static_cast<int>(quick_access::CARD_WIDTH), static_cast<int>(height));
    for (const auto& spec : quick_access::buttons(kind, height)) {
        QAbstractButton* button = quick_access::make_button(spec, this);
        if (!button)
            continue;
        const Action action = spec.action;
        QObject::connect(button, &QAbstractButton::clicked, this, [this, action] { act(action); });
        m_buttons.push_back(button);
    }
}

void VistropeQuickCard::show_controls(bool shown)
{
    m_controls = shown;
    for (QAbstractButton* b : m_buttons)
        b->setVisible(shown);
    update();
}

void VistropeQuickCard::enterEvent(QEnterEvent*)
{
    m_hovered = true;
    show_controls(true);
}

void VistropeQuickCard::leaveEvent(QEvent*)
{
    m_hovered = false;
    show_controls(false);
}

void VistropeQuickCard::resizeEvent(QResizeEvent* event)
{
    m_thumbnail = QPixmap();
    m_face = QPixmap();
    m_face_hovered = QPixmap();
    QWidget::resizeEvent(event);
}

void VistropeQuickCard::take_thumbnail(QImage thumbnail)
{
    const qreal dpr = devicePixelRatioF();
    const QSize device(std::lround(width() * dpr), std::lround(height() * dpr));
    if (thumbnail.size() != device)
        return;
    // A first paint may have made it already: either way the picture can go.
    if (m_thumbnail.size() != device) {
        m_thumbnail = QPixmap::fromImage(std::move(thumbnail));
        m_thumbnail.setDevicePixelRatio(dpr);
    }
    forget_picture();
}

void VistropeQuickCard::take_png(std::shared_ptr<const std::vector<std::uint8_t>> png)
{
    if (m_kind != CardKind::Image || !png || png->empty())
        return;
    m_png.bytes = std::move(png);
    forget_picture();
}

void VistropeQuickCard::forget_picture()
{
    // Until the thumbnail is in, the picture stays: the first paint would
    // otherwise read the PNG back on the main thread.
    if (m_png.bytes && !m_thumbnail.isNull())
        m_image = QImage();
}

QImage VistropeQuickCard::image() const
{
    return m_image.isNull() ? m_png.read() : m_image;
}

QPixmap VistropeQuickCard::face(bool hovered)
{
    // The card's whole look, made once per state: a repaint is one blit.
    QPixmap& kept = hovered ? m_face_hovered : m_face;
    const qreal dpr = devicePixelRatioF();
    const QSize device(std::lround(width() * dpr), std::lround(height() * dpr));
    if (kept.size() == device)
        return kept;
    if (m_thumbnail.size() != device) {
        m_thumbnail = QPixmap::fromImage(quick_access::fill_thumbnail(image(), device));
        m_thumbnail.setDevicePixelRatio(dpr);
        forget_picture();
    }
    QImage out(device, QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(dpr);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds(rect());
    QPainterPath shape;
    shape.addRoundedRect(bounds, quick_access::CORNER, quick_access::CORNER);
    p.setClipPath(shape);
    p.fillRect(bounds, util::rgba(0.12, 0.12, 0.14, 1.0));
    p.drawPixmap(0, 0, m_thumbnail);
    if (hovered)
        p.fillRect(bounds, QColor(0, 0, 0, 128));
    if (m_badge) {
        const QFont font = quick_access::ui_font(11, QFont::DemiBold);
        const QFontMetricsF metrics(font);
        const QString text = QString::fromStdString(m_badge->text);
        const bool symbol = m_badge->symbol && platform::symbols::glyph(*m_badge->symbol);
        const double x = symbol ? 24 : 7;
        const double w = std::ceil(metrics.horizontalAdvance(text));
        const double th = metrics.height();
        const QRectF badge(8, height() - 8 - 20, std::ceil(x + w + 7), 20);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 158));
        p.drawRoundedRect(badge, 10, 10);
        if (symbol)
            platform::symbols::draw(p, *m_badge->symbol, QRectF(badge.x() + 7, badge.y() + 4, 13, 12), 12, Qt::white);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(badge.x() + x, badge.y() + std::round((20 - th) / 2), w, th), Qt::AlignLeft | Qt::AlignVCenter, text);
    }
    p.setClipping(false);
    p.setPen(QPen(QColor(255, 255, 255, 46), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5), quick_access::CORNER, quick_access::CORNER);
    p.end();
    kept = QPixmap::fromImage(std::move(out));
    return kept;
}

void VistropeQuickCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source); // the face carries its own transparent corners
    p.drawPixmap(0, 0, face(m_controls));
}

std::optional<std::filesystem::path> VistropeQuickCard::ensure_file()
{
    if (m_file)
        return m_file;
    auto saved = m_png.bytes ? output::save_png(*m_png.bytes) : output::save_image(m_image, m_scale);
    if (!saved) {
        quick_access::current_roads().failed("No se pudo guardar la captura", "no pude guardar la captura: " + saved.error());
        return std::nullopt;
    }
    m_file = *saved;
    return m_file;
}

void VistropeQuickCard::act(Action action)
{
    if (m_closed)
        return;
    const quick_access::Roads& roads = quick_access::current_roads();
    bool acted = true;
    switch (action) {
    case Action::Copy:
        if (m_kind == CardKind::Image && m_png.bytes)
            output::copy_png(m_png.bytes);
        else if (m_kind == CardKind::Image)
            output::copy_png(output::encode(m_image, m_scale));
        else if (m_file)
            roads.copy_file(*m_file);
        break;
    case Action::Save: {
        // A capture that could not be written keeps its card, to try again.
        // One the card writes itself is said to be saved first: whatever
        // the file manager does next, the capture is on disk.
        const bool written_here = !m_file;
        if (auto path = ensure_file()) {
            if (written_here)
                roads.saved(*path);
            roads.reveal(*path, written_here ? std::string(quick_access::SAVED_TOAST) + "; no se pudo abrir la carpeta"
                                             : std::string("No se pudo abrir la carpeta"));
        } else
            acted = false;
        break;
    }
    case Action::Edit:
        if (m_kind == CardKind::Image) {
            // Out of the list first: the editor opens clear of the cards that stay.
            close();
            roads.annotate(image(), m_scale);
        }
        else if (m_file && m_kind == CardKind::Video)
            roads.edit_video(*m_file);
        else if (m_file)
            roads.open_path(m_file->string());
        else
            acted = false;
        break;
    case Action::Pin:
        if (m_kind == CardKind::Image)
            roads.pin(image(), m_scale);
        break;
    case Action::Gif:
        if (m_file && m_kind == CardKind::Video)
            roads.make_gif(*m_file, roads.gif_path_for(*m_file));
        else
            acted = false;
        break;
    case Action::Close: break;
    }
    if (quick_access::closes(action, acted))
        close();
}

void VistropeQuickCard::close()
{
    if (m_closed)
        return;
    m_closed = true;
    quick_access::forget(this);
    if (!m_dragging)
        fade_out_and_go();
    quick_access::relayout();
}

void VistropeQuickCard::fade_out_and_go()
{
    QPointer<VistropeQuickCard> self(this);
    fade(0, 0.15, [self] {
        if (!self)
            return;
        self->hide();
        self->deleteLater();
    });
}

void VistropeQuickCard::fade_in(double seconds)
{
    fade(1, seconds, {});
}

void VistropeQuickCard::fade(double to, double seconds, std::function<void()> done)
{
    // Without a compositor opacity changes nothing on screen: jump to the end.
    if (!platform::compositor_running() || seconds <= 0) {
        setWindowOpacity(to);
        if (done)
            done();
        return;
    }
    auto* animation = new QVariantAnimation(this);
    animation->setStartValue(windowOpacity());
    animation->setEndValue(to);
    animation->setDuration(static_cast<int>(std::lround(seconds * 1000)));
    QObject::connect(animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) { setWindowOpacity(v.toDouble()); });
    QObject::connect(animation, &QVariantAnimation::finished, this, [done = std::move(done)] {
        if (done)
            done();
    });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void VistropeQuickCard::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_drag_start = event->position();
}

void VistropeQuickCard::mouseReleaseEvent(QMouseEvent*)
{
    m_drag_start.reset();
}

void VistropeQuickCard::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        act(Action::Edit);
}

void VistropeQuickCard::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_drag_start || m_closed)
        return;
    const QPointF d = event->position() - *m_drag_start;
    if (!quick_access::drag_starts(d.x(), d.y()))
        return;
    m_drag_start.reset();
    drag_out();
}

void VistropeQuickCard::drag_out()
{
    const std::optional<std::filesystem::path> path = ensure_file();
    if (!path)
        return;
    auto* data = new QMimeData;
    data->setUrls({ platform::file_url(*path) });
    if (m_kind == CardKind::Image)
        data->setData(QStringLiteral("image/png"), quick_access::file_bytes(*path));
    else if (m_kind == CardKind::Gif)
        data->setData(QStringLiteral("image/gif"), quick_access::file_bytes(*path));
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    drag->setPixmap(m_thumbnail.isNull() ? QPixmap::fromImage(image().scaled(size())) : m_thumbnail);
    drag->setHotSpot(QPoint(width() / 2, height() / 2));
    // The card steps aside while the picture follows the pointer; the timer
    // runs inside the drag's own event loop.
    setWindowOpacity(0);
    QPointer<VistropeQuickCard> self(this);
    util::after(0.05, [self] {
        if (self && !self->closed())
            self->setWindowOpacity(1);
    });
    m_dragging = true;
    const Qt::DropAction result = drag->exec(Qt::CopyAction);
    if (!self)
        return;
    m_dragging = false;
    if (m_closed)
        fade_out_and_go(); // closed while the drag ran
    else if (result != Qt::IgnoreAction)
        close();
}
