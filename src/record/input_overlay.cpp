#include "record/input_overlay.h"

#include "base/hotkeys.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "platform/panels.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QWindow>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QStaticText>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <tuple>

namespace input_overlay {

namespace {

constexpr double PILL_HEIGHT = 64;
constexpr double HIDE_AFTER = 1.2;
constexpr double PILL_FADE = 0.25;
constexpr double RING_GROW = 0.55;
constexpr double RING_LIFE = 0.6;
constexpr double RING_SIZE = 92;
// A panel that has shown nothing for this long gives back its picture.
constexpr double RELEASE_AFTER = 2.0;

// Keys the pill names even without a modifier, by their table names; the
// label is the one every shortcut shows (hotkeys::key_text).
const std::map<int, std::string_view>& named_keys()
{
    static const std::map<int, std::string_view> names {
        { 36, "return" }, { 76, "return" }, { 48, "tab" }, { 49, "space" }, { 51, "delete" }, { 117, "forwarddelete" },
        { 53, "escape" }, { 123, "left" }, { 124, "right" }, { 125, "down" }, { 126, "up" }, { 115, "home" },
        { 119, "end" }, { 116, "pageup" }, { 121, "pagedown" }, { 122, "f1" }, { 120, "f2" }, { 99, "f3" },
        { 118, "f4" }, { 96, "f5" }, { 97, "f6" }, { 98, "f7" }, { 100, "f8" }, { 101, "f9" }, { 109, "f10" },
        { 103, "f11" }, { 111, "f12" },
    };
    return names;
}

bool has_control_character(std::string_view text)
{
    for (char32_t c : QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUcs4())
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            return true;
    return false;
}

QFont pill_font()
{
    QFont f;
    f.setPixelSize(34);
    f.setWeight(QFont::DemiBold);
    return f;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

std::size_t scalar_count(std::string_view text)
{
    return static_cast<std::size_t>(std::ranges::count_if(text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::optional<KeyLabel> key_label(const platform::RawKey& key, bool all_keys)
{
    const bool command = key.modifiers & hotkeys::COMMAND;
    const bool control = key.modifiers & hotkeys::CONTROL;
    const bool option = key.modifiers & hotkeys::OPTION;
    const auto named = named_keys().find(key.code);
    const bool is_named = named != named_keys().end();
    if (key.code == 49 && all_keys && !command && !control && !option)
        return KeyLabel { " ", false };
    if (!command && !control && !is_named && !option) {
        if (all_keys && !key.characters.empty() && !has_control_character(key.characters))
            return KeyLabel { key.characters, false };
        return std::nullopt;
    }
    // A modifier pressed alone (or any key with nothing to name) shows nothing.
    if (!is_named && key.unmodified_characters.empty())
        return std::nullopt;
    const std::string shown_key = is_named ? hotkeys::key_text(named->second)
                                           : QString::fromStdString(key.unmodified_characters).toUpper().toStdString();
    std::string label = hotkeys::modifiers_text(key.modifiers & (hotkeys::COMMAND | hotkeys::CONTROL | hotkeys::OPTION | hotkeys::SHIFT));
    if (!label.empty())
        label += '+';
    return KeyLabel { label + shown_key, true };
}

platform::RectF pill_rect(const platform::PointF& anchor, double text_w)
{
    const double w = text_w + 48;
    return { anchor.x - w / 2, anchor.y, w, PILL_HEIGHT };
}

std::pair<double, double> ring_look(std::optional<double> t)
{
    if (!t)
        return { 0.35, 1.0 };
    const double k = std::clamp(*t / RING_GROW, 0.0, 1.0);
    // It grows quickly and fades late, so the click reads in the video.
    return { 0.35 + 0.65 * (1 - (1 - k) * (1 - k)), 1 - k * k };
}

int ring_step(std::optional<double> t)
{
    if (!t)
        return 0;
    return 1 + static_cast<int>(std::lround(std::clamp(*t, 0.0, RING_GROW) * RING_STEPS_PER_SECOND));
}

std::optional<double> step_time(int step)
{
    if (step <= 0)
        return std::nullopt;
    return (step - 1) / RING_STEPS_PER_SECOND;
}

double pill_opacity(bool shown, std::optional<double> t)
{
    if (!shown)
        return 0;
    if (!t)
        return 1;
    return std::clamp(1 - *t / PILL_FADE, 0.0, 1.0);
}

// --- The panel --------------------------------------------------------------------

class OverlayPanel final : public QWidget {
public:
    explicit OverlayPanel(std::shared_ptr<Shared> shared)
        : m_shared(std::move(shared))
    {
        setAttribute(Qt::WA_TranslucentBackground);
        m_animate.setInterval(16);
        QObject::connect(&m_animate, &QTimer::timeout, this, [this] { refresh(); });
    }

    // Repaints and, without a compositor, reshapes to what is drawn; keeps
    // animating while anything moves. Shaped, with nothing to draw, it is
    // shaped to nothing: it stays mapped (the recording's filter found it by
    // its id, and a click shows at once) but leaves no pixel on screen.
    void refresh()
    {
        const auto now = m_shared->now();
        const Scene& s = m_shared->scene;
        const bool shaped = m_shared->shaped;
        bool moving = false;
        // What is repainted is the boxes whose look changed: an ellipse's
        // region is a rectangle per scan line, each cleared and sent on its
        // own, and a ring changes only when it moves to its next picture.
        std::vector<Drawn> drawn;
        QRegion shape;
        for (const auto& r : s.rings) {
            const auto t = r->grow_start ? std::optional(seconds(now - *r->grow_start)) : std::nullopt;
            moving = moving || !t || *t < RING_GROW;
            const int step = ring_step(t);
            const QRect box = ring_box(*r);
            drawn.push_back({ box, step * 2 + (r->left ? 1 : 0), {} });
            if (shaped) {
                // The shape follows the ring as it grows.
                const double half = 46 * ring_look(step_time(step)).first + 2;
                const QPointF c = QRectF(box).center();
                shape += QRegion(QRectF(c.x() - half, c.y() - half, 2 * half, 2 * half).toAlignedRect(), QRegion::Ellipse);
            }
        }
        const double pill_t = s.pill_fade_start ? seconds(now - *s.pill_fade_start) : -1;
        moving = moving || (s.pill_fade_start && pill_t < PILL_FADE);
        const double opacity = pill_opacity(s.pill_shown, s.pill_fade_start ? std::optional(pill_t) : std::nullopt);
        if (opacity > 0 && !s.shown.empty()) {
            const QRectF pill = pill_qt().adjusted(-1, -1, 1, 1);
            drawn.push_back({ pill.toAlignedRect(), static_cast<int>(std::lround(opacity * 255)), s.shown });
            if (shaped) {
                QPainterPath rounded;
                rounded.addRoundedRect(pill, 18, 18);
                shape += QRegion(rounded.toFillPolygon().toPolygon());
            }
        }
        if (moving && !m_animate.isActive())
            m_animate.start();
        else if (!moving)
            m_animate.stop();
        std::sort(drawn.begin(), drawn.end());
        std::vector<Drawn> changed;
        std::set_symmetric_difference(drawn.begin(), drawn.end(), m_drawn.begin(), m_drawn.end(), std::back_inserter(changed));
        m_drawn = std::move(drawn);
        // With a compositor the panel stays whole and clear: cut to nothing,
        // the parts it never painted would keep what lay beneath it when it
        // mapped, and a window recording composes it from its own pixels.
        std::optional<QRegion> outline;
        if (shaped)
            outline = shape;
        if (outline != m_shape || !m_shape_set) {
            platform::set_shape(this, outline);
            m_shape = outline;
            m_shape_set = true;
        }
        QRegion dirty;
        for (const Drawn& d : changed)
            dirty += d.box;
        if (!dirty.isEmpty())
            update(dirty);
        // Blank for a while, the panel gives back its screenful of picture
        // (32 MB at 4K) until the next click or key is drawn.
        const bool blank = m_drawn.empty();
        if (blank && !m_blank)
            release_if_still_blank(RELEASE_AFTER);
        if (!blank && m_blank)
            ++m_blank_token;
        m_blank = blank;
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        // The first paint, when the panel maps, is of the whole blank panel:
        // its picture goes as soon as it is on screen, before the recording's
        // own start needs the memory.
        if (!std::exchange(m_painted, true) && m_blank)
            release_if_still_blank(0.25);
        QPainter p(this);
        const auto now = m_shared->now();
        const Scene& s = m_shared->scene;
        for (const auto& r : s.rings)
            p.drawImage(ring_box(*r).topLeft(),
                sprite(ring_step(r->grow_start ? std::optional(seconds(now - *r->grow_start)) : std::nullopt), r->left));
        const double opacity
            = pill_opacity(s.pill_shown, s.pill_fade_start ? std::optional(seconds(now - *s.pill_fade_start)) : std::nullopt);
        // The rings repaint 60 times a second; the pill's text is laid out
        // once and drawn only when its part of the panel is repainted.
        const QRectF pill = pill_qt();
        if (opacity > 0 && !s.shown.empty() && event->region().intersects(pill.toAlignedRect())) {
            p.setRenderHint(QPainter::Antialiasing);
            p.setOpacity(opacity);
            p.setPen(QPen(util::rgba(1, 1, 1, 0.16), 1));
            p.setBrush(util::rgba(0.08, 0.08, 0.11, 0.86));
            p.drawRoundedRect(pill.adjusted(0.5, 0.5, -0.5, -0.5), 18, 18);
            p.setPen(Qt::white);
            p.setFont(pill_font());
            const QSizeF size = m_pill_text.size();
            p.drawStaticText(QPointF(pill.center().x() - size.width() / 2, pill.center().y() - size.height() / 2), m_pill_text);
        }
    }

private:
    void release_if_still_blank(double after)
    {
        m_shared->after(after, [panel = QPointer(this), token = m_blank_token] {
            if (panel && panel->m_blank && panel->m_blank_token == token)
                platform::release_blank_backing_store(panel);
        });
    }

    // A ring's box on whole points, so its picture is copied, never resampled.
    QRect ring_box(const Ring& r) const
    {
        const QRectF box = platform::panel_rect({ r.x - RING_SIZE / 2, r.y - RING_SIZE / 2, RING_SIZE, RING_SIZE }, height());
        return { static_cast<int>(std::lround(box.x())), static_cast<int>(std::lround(box.y())), static_cast<int>(RING_SIZE),
            static_cast<int>(RING_SIZE) };
    }
    QRectF pill_qt()
    {
        if (m_pill_shown != m_shared->scene.shown) {
            m_pill_shown = m_shared->scene.shown;
            m_pill_text = QStaticText(QString::fromStdString(m_pill_shown));
            m_pill_text.setTextFormat(Qt::PlainText);
            m_pill_text.prepare(QTransform(), pill_font());
            m_pill_width = QFontMetricsF(pill_font()).horizontalAdvance(QString::fromStdString(m_pill_shown));
        }
        return platform::panel_rect(pill_rect(m_shared->anchor, m_pill_width), height());
    }

    // Rings are drawn from pictures made once per step of their growth: an
    // antialiased ellipse is hundreds of spans, which the raster engine hands
    // to a thread pool, and ten clicks a second kept it busy for every frame.
    const QImage& sprite(int step, bool left)
    {
        const qreal dpr = devicePixelRatioF();
        if (dpr != m_sprite_dpr) {
            m_sprites.clear();
            m_sprite_dpr = dpr;
        }
        QImage& image = m_sprites[step * 2 + (left ? 1 : 0)];
        if (!image.isNull())
            return image;
        const int side = static_cast<int>(std::ceil(RING_SIZE * dpr));
        image = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(dpr);
        image.fill(Qt::transparent);
        const auto [scale, opacity] = ring_look(step_time(step));
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor c = left ? util::rgba(0.24, 0.55, 1.0, 1) : util::rgba(1.0, 0.58, 0.0, 1);
        p.translate(RING_SIZE / 2, RING_SIZE / 2);
        p.scale(scale, scale);
        p.setOpacity(opacity);
        QColor fill = c, stroke = c;
        fill.setAlphaF(0.22f);
        stroke.setAlphaF(0.95f);
        p.setBrush(fill);
        p.setPen(QPen(stroke, 4));
        p.drawEllipse(QRectF(-42, -42, 84, 84));
        return image;
    }

    // A box painted with one look: a ring's picture, or the pill's opacity and text.
    struct Drawn {
        QRect box;
        int look = 0;
        std::string text;
        bool operator<(const Drawn& o) const
        {
            return std::tuple(box.x(), box.y(), box.width(), box.height(), look, text)
                < std::tuple(o.box.x(), o.box.y(), o.box.width(), o.box.height(), o.look, o.text);
        }
    };

    std::shared_ptr<Shared> m_shared;
    QTimer m_animate;
    std::vector<Drawn> m_drawn;
    std::optional<QRegion> m_shape;
    bool m_shape_set = false;
    bool m_blank = false;
    bool m_painted = false;
    std::uint64_t m_blank_token = 0; // a blank spell, ended by the next drawing
    std::map<int, QImage> m_sprites;
    qreal m_sprite_dpr = 0;
    std::string m_pill_shown;
    QStaticText m_pill_text;
    double m_pill_width = 0;
};

// --- Shared -----------------------------------------------------------------------

void Shared::changed()
{
    if (panel)
        panel->refresh();
}

void Shared::push(const KeyLabel& label)
{
    if (label.replace || scalar_count(scene.text) > 24)
        scene.text = label.text;
    else
        scene.text += label.text;
    const std::uint64_t generation = ++scene.generation;
    scene.shown = scene.text;
    scene.pill_shown = true;
    scene.pill_fade_start.reset();
    changed();
    after(HIDE_AFTER, [self = shared_from_this(), generation] {
        util::require_main_thread("cola principal");
        if (self->scene.generation != generation)
            return;
        self->scene.text.clear();
        self->scene.pill_fade_start = self->now();
        self->changed();
    });
}

void Shared::key(const platform::RawKey& k, bool all_keys)
{
    if (auto label = key_label(k, all_keys))
        push(*label);
}

void Shared::ring_at(double x, double y, bool left)
{
    auto ring = std::make_shared<Ring>(Ring { x, y, left, std::nullopt });
    scene.rings.push_back(ring);
    changed();
    after(0, [self = shared_from_this(), ring] {
        util::require_main_thread("cola principal");
        ring->grow_start = self->now();
        self->changed();
        self->after(RING_LIFE, [self, ring] {
            std::erase(self->scene.rings, ring);
            self->changed();
        });
    });
}

// --- InputOverlay -----------------------------------------------------------------

std::unique_ptr<InputOverlay> InputOverlay::start(const platform::RectF& frame, const platform::RectF& area, std::uint32_t flags,
    double scale, std::unique_ptr<platform::RawInput> monitor)
{
    std::unique_ptr<InputOverlay> o(new InputOverlay());
    o->m_shared = std::make_shared<Shared>();
    Shared& s = *o->m_shared;
    s.frame = frame;
    s.anchor = { area.x - frame.x + area.w * 0.5, area.y - frame.y + 56 };
    s.scale = scale;
    s.shaped = !platform::compositor_running();
    s.after = [](double secs, std::function<void()> job) { util::after(secs, std::move(job)); };
    s.now = [] { return Clock::now(); };

    auto* panel = new OverlayPanel(o->m_shared);
    platform::make_panel(panel, PANEL_LEVEL, platform::Mouse::Ignores);
    panel->setGeometry(platform::window_rect(frame));
    s.panel = panel;
    o->m_panel = panel;
    panel->refresh();
    panel->show();
    platform::restack_panels();

    const bool clicks = flags & recorder::SHOW_CLICKS;
    const bool keys = flags & recorder::SHOW_KEYS;
    const bool all_keys = flags & recorder::SHOW_ALL_KEYS;
    if (clicks || keys) {
        if (!monitor)
            monitor = platform::create_raw_input();
        std::weak_ptr<Shared> weak = o->m_shared;
        platform::RawInput::KeyHandler on_key;
        platform::RawInput::ButtonHandler on_button;
        if (keys)
            on_key = [weak, all_keys](const platform::RawKey& k) {
                // Keys typed into the program itself are not shown: a visible
                // window of ours that takes the keyboard has it. A panel that
                // refuses focus never does, whatever the platform reports.
                if (const QWindow* focus = QGuiApplication::focusWindow();
                    focus && focus->isVisible() && !(focus->flags() & Qt::WindowDoesNotAcceptFocus))
                    return;
                if (auto sh = weak.lock())
                    sh->key(k, all_keys);
            };
        if (clicks)
            on_button = [weak](const platform::RawButton& b) {
                auto sh = weak.lock();
                // Wheel steps (4 to 7) are not clicks.
                if (!sh || (b.button >= 4 && b.button <= 7) || b.button < 1)
                    return;
                sh->ring_at(b.x - sh->frame.x, b.y - sh->frame.y, b.button == 1);
            };
        if (auto started = monitor->start(std::move(on_key), std::move(on_button)); !started)
            util::log(fmt::format("no pude vigilar teclas y clics: {}", started.error()));
        else
            o->m_monitor = std::move(monitor);
    }
    return o;
}

InputOverlay::~InputOverlay()
{
    stop();
}

void InputOverlay::stop()
{
    if (m_monitor) {
        m_monitor->stop();
        m_monitor.reset();
    }
    if (m_panel) {
        m_panel->hide();
        m_panel->deleteLater();
    }
}

std::optional<std::uint32_t> InputOverlay::window_id() const
{
    if (!m_panel)
        return std::nullopt;
    return static_cast<std::uint32_t>(m_panel->winId());
}

QWidget* InputOverlay::panel() const
{
    return m_panel.data();
}

void simulate(int kind, double x, double y)
{
    const recorder::Session* r = recorder::session();
    auto* o = r ? dynamic_cast<InputOverlay*>(r->overlay.get()) : nullptr;
    if (!o)
        return;
    const auto& sh = o->shared();
    if (kind == 0)
        sh->ring_at(x - sh->frame.x, y - sh->frame.y, true);
    else
        sh->push({ "Ctrl+Mayús+F", true });
}

} // namespace input_overlay
