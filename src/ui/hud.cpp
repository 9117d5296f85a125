#include "ui/hud.h"

#include "platform/panels.h"
#include "platform/symbols.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QWidget>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

namespace hud {

namespace {

constexpr double TOAST_HEIGHT = 40;
constexpr double FADE_SECONDS = 0.25; // the animator's default duration
constexpr double REMOVE_AFTER = 0.3;
constexpr double EDGE = 8;      // from the visible frame's edges
constexpr double CLEARANCE = 8; // between a toast that steps aside and what it keeps clear of
constexpr double POINTER_CLEARANCE = 20; // around the pointer, for a toast that steps aside

bool overlaps(const platform::RectF& a, const platform::RectF& b)
{
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

std::function<std::vector<platform::RectF>()>& keep_clear_frames()
{
    static std::function<std::vector<platform::RectF>()> frames;
    return frames;
}

std::vector<platform::RectF> frames_to_keep_clear()
{
    const auto& frames = keep_clear_frames();
    return frames ? frames() : std::vector<platform::RectF> {};
}

QColor capsule_fill() { return util::rgba(0.11, 0.11, 0.12, 0.92); }
QColor capsule_border() { return util::rgba(1, 1, 1, 0.14); }

void paint_capsule(QPainter& p, const QRectF& rect, double radius)
{
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF inner = rect.adjusted(0.25, 0.25, -0.25, -0.25);
    p.setPen(QPen(capsule_border(), 0.5));
    p.setBrush(capsule_fill());
    p.drawRoundedRect(inner, radius, radius);
}

QFont toast_font()
{
    QFont font("Inter");
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    return font;
}

// The toast's capsule: paints the symbol and the text itself.
class ToastView final : public QWidget {
public:
    ToastView()
        : QWidget(nullptr)
    {
    }

    void set_content(std::string_view symbol, std::string_view text)
    {
        m_symbol = std::string(symbol);
        m_text = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        const QFontMetricsF metrics(toast_font());
        m_layout = toast_layout(metrics.horizontalAdvance(m_text), metrics.height());
        update();
    }

    const ToastLayout& layout() const { return m_layout; }
    const std::string& symbol() const { return m_symbol; }
    const QString& text() const { return m_text; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        if (!testAttribute(Qt::WA_TranslucentBackground))
            p.fillRect(rect(), capsule_fill());
        paint_capsule(p, QRectF(rect()), 12);
        platform::symbols::draw(p, m_symbol, QRectF(16, 11, 18, 18), 18, Qt::white);
        p.setFont(toast_font());
        p.setPen(Qt::white);
        const auto& l = m_layout.label;
        p.drawText(QRectF(l.x, l.y, l.w, l.h), Qt::AlignLeft | Qt::AlignVCenter, m_text);
    }

private:
    std::string m_symbol;
    QString m_text;
    ToastLayout m_layout;
};

struct Toast {
    ToastView* view = nullptr;
    QPropertyAnimation* fade = nullptr;
    unsigned long generation = 0;
    unsigned long armed = 0;  // counts the timers set, so that only the latest one fades the toast
    platform::PointF pointer; // where the pointer was when the toast came
};

Toast& toast_state()
{
    util::require_main_thread("hilo principal");
    static Toast state;
    return state;
}

// The toast's clock while a test holds it: its time in seconds and the
// timers waiting for it, in the order they come due.
struct HeldClock {
    double now = 0;
    std::multimap<double, std::function<void()>> timers;
};

std::optional<HeldClock>& held_clock()
{
    util::require_main_thread("hilo principal");
    static std::optional<HeldClock> clock;
    return clock;
}

// Runs the job on the main queue `seconds` from now, by the held clock when
// a test holds it.
void toast_after(double seconds, std::function<void()> job)
{
    if (auto& held = held_clock())
        held->timers.emplace(held->now + seconds, std::move(job));
    else
        util::after(seconds, std::move(job));
}

ToastView* toast_view()
{
    Toast& t = toast_state();
    if (!t.view) {
        t.view = new ToastView();
        platform::make_panel(t.view, PANEL_LEVEL, platform::Mouse::Ignores, platform::Focus::Refuses, platform::Shadow::Cast);
        t.view->resize(200, static_cast<int>(TOAST_HEIGHT));
        t.fade = new QPropertyAnimation(t.view, "windowOpacity", t.view);
        t.fade->setDuration(static_cast<int>(FADE_SECONDS * 1000));
        t.fade->setEndValue(0.0);
    }
    return t.view;
}

// Puts the toast where it goes for the pointer it came under, clear of the
// frames as they stand now.
void place_toast(Toast& t)
{
    const auto screen = platform::screen_for_point(t.pointer.x, t.pointer.y);
    const double width = t.view->layout().width;
    const platform::PointF origin = toast_origin(t.pointer.x, t.pointer.y,
        screen ? std::optional(screen->visible_frame) : std::nullopt, width, frames_to_keep_clear());
    t.view->setGeometry(platform::window_rect({ origin.x, origin.y, width, TOAST_HEIGHT }));
}

} // namespace

ToastLayout toast_layout(double text_w, double text_h)
{
    ToastLayout l;
    l.label = { 42, std::round((TOAST_HEIGHT - text_h) / 2), std::ceil(text_w), text_h };
    l.width = std::ceil(text_w + 42 + 16);
    return l;
}

platform::PointF toast_origin(double mx, double my, std::optional<platform::RectF> visible, double width,
    const std::vector<platform::RectF>& keep_clear)
{
    const platform::RectF frame = visible.value_or(platform::RectF { mx - 400, my - 300, 800, 600 });
    // Wider than the frame: keep the left edge inside rather than cross the bounds.
    const double lo = frame.x + EDGE;
    const double hi = std::max(lo, frame.x + frame.w - width - EDGE);
    const double x = std::round(std::clamp(mx - width / 2, lo, hi));
    const double below = my - 28 - TOAST_HEIGHT;
    const double above = my + 28;
    const double y = std::round(below < frame.y + EDGE ? above : below);
    // The pointer's own spot stays clear too: the toast is read beside it,
    // never under it.
    const platform::RectF pointer { mx - POINTER_CLEARANCE, my - POINTER_CLEARANCE, 2 * POINTER_CLEARANCE, 2 * POINTER_CLEARANCE };
    const auto clear = [&](double cx, double cy) {
        const platform::RectF place { cx, cy, width, TOAST_HEIGHT };
        return !overlaps(place, pointer)
            && std::none_of(keep_clear.begin(), keep_clear.end(), [&](const platform::RectF& k) { return overlaps(place, k); });
    };
    if (clear(x, y) || keep_clear.empty())
        return { x, y };
    // Covering a card would hide its buttons, the very ones under the pointer
    // when the toast answers one. The places tried: the pointer's column and
    // either side of every frame, across the pointer's two rows and above and
    // below every frame, each brought inside the visible frame; the nearest
    // clear one wins.
    std::vector<double> xs { x }, ys { below, above };
    for (const platform::RectF& k : keep_clear) {
        xs.push_back(k.x + k.w + CLEARANCE);
        xs.push_back(k.x - CLEARANCE - width);
        ys.push_back(k.y + k.h + CLEARANCE);
        ys.push_back(k.y - CLEARANCE - TOAST_HEIGHT);
    }
    const double bottom = frame.y + EDGE;
    const double top = std::max(bottom, frame.y + frame.h - TOAST_HEIGHT - EDGE);
    std::optional<platform::PointF> best;
    double best_distance = 0;
    for (double cx : xs)
        for (double cy : ys) {
            const platform::PointF place { std::round(std::clamp(cx, lo, hi)), std::round(std::clamp(cy, bottom, top)) };
            if (!clear(place.x, place.y))
                continue;
            const double distance = std::hypot(place.x - x, place.y - y);
            if (!best || distance < best_distance) {
                best = place;
                best_distance = distance;
            }
        }
    return best.value_or(platform::PointF { x, y });
}

unsigned long toast_generation()
{
    return toast_state().generation;
}

void hold_time_for_tests(std::optional<double> seconds)
{
    auto& held = held_clock();
    if (!seconds) {
        // What still waits goes back to the real clock, for the time it had left.
        if (held)
            for (auto& [due, job] : held->timers)
                util::after(std::max(due - held->now, 0.0), std::move(job));
        held.reset();
        return;
    }
    if (!held) {
        held.emplace();
        held->now = *seconds;
        return;
    }
    // In order, those a timer sets on the way included.
    while (!held->timers.empty() && held->timers.begin()->first <= *seconds) {
        auto node = held->timers.extract(held->timers.begin());
        held->now = node.key();
        node.mapped()();
    }
    held->now = std::max(held->now, *seconds);
}

QWidget* panel(const platform::RectF& frame, bool ignores_mouse)
{
    auto* w = new QWidget(nullptr);
    platform::make_panel(w, PANEL_LEVEL, ignores_mouse ? platform::Mouse::Ignores : platform::Mouse::Accepts);
    w->setGeometry(platform::window_rect(frame));
    return w;
}

void style_capsule(QWidget* view, double corner_radius)
{
    const QColor fill = capsule_fill();
    const QColor border = capsule_border();
    view->setAttribute(Qt::WA_StyledBackground, true);
    view->setStyleSheet(QString("background-color: rgba(%1,%2,%3,%4); border: 0.5px solid rgba(255,255,255,%5); border-radius: %6px;")
                            .arg(fill.red())
                            .arg(fill.green())
                            .arg(fill.blue())
                            .arg(fill.alphaF())
                            .arg(border.alphaF())
                            .arg(corner_radius));
    platform::shape_rounded(view, corner_radius);
}

QWidget* prepare_toast(std::string_view symbol, std::string_view text)
{
    ToastView* view = toast_view();
    view->set_content(symbol, text);
    view->resize(static_cast<int>(view->layout().width), static_cast<int>(TOAST_HEIGHT));
    platform::shape_rounded(view, 12);
    return view;
}

namespace {

// Fades the toast shown now out `seconds` from now, unless another toast or a
// later timer comes first.
void fade_after(Toast& t, double seconds)
{
    const unsigned long generation = t.generation;
    const unsigned long armed = ++t.armed;
    toast_after(seconds, [generation, armed] {
        Toast& t = toast_state();
        if (t.generation != generation || t.armed != armed)
            return;
        t.fade->setStartValue(t.view->windowOpacity());
        t.fade->start();
        // A launch that kept the toast meanwhile armed it anew: this hide
        // is no longer its.
        toast_after(REMOVE_AFTER, [generation, armed] {
            Toast& t = toast_state();
            if (t.generation == generation && t.armed == armed)
                t.view->hide();
        });
    });
}

} // namespace

void toast(std::string_view symbol, std::string_view text, double seconds)
{
    util::log(fmt::format("aviso: {}", text));
    Toast& t = toast_state();
    ++t.generation;
    ToastView* view = static_cast<ToastView*>(prepare_toast(symbol, text));

    t.pointer = platform::pointer_location();
    t.fade->stop();
    view->setWindowOpacity(1.0);
    place_toast(t);
    view->show();
    platform::restack_panels();

    fade_after(t, seconds);
}

bool keep_toast(unsigned long generation, double seconds)
{
    Toast& t = toast_state();
    if (t.generation != generation || !t.view || !t.view->isVisible() || t.fade->state() == QAbstractAnimation::Running)
        return false;
    // Between the fade's end and the hide the toast is up but clear.
    t.view->setWindowOpacity(1.0);
    fade_after(t, seconds);
    return true;
}

void set_keep_clear(std::function<std::vector<platform::RectF>()> frames)
{
    util::require_main_thread("hilo principal");
    keep_clear_frames() = std::move(frames);
}

void keep_clear_changed()
{
    Toast& t = toast_state();
    if (!t.view || !t.view->isVisible())
        return;
    // Only a toast now over a frame moves: one that is clear stays put
    // rather than jump back when a card goes.
    const platform::RectF at = platform::window_frame(t.view->geometry());
    const auto frames = frames_to_keep_clear();
    if (std::any_of(frames.begin(), frames.end(), [&](const platform::RectF& k) { return overlaps(at, k); }))
        place_toast(t);
}

void toast_through(const ToastSink& sink, std::string_view symbol, std::string_view text, double seconds)
{
    if (sink)
        sink(symbol, text, seconds);
    else
        toast(symbol, text, seconds);
}

} // namespace hud
