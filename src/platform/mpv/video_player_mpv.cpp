// The player view on libmpv: one mpv_handle per view with vo=libmpv, frames
// drawn by mpv's software renderer into an image the view paints. mpv calls
// back from its own threads; those calls only queue a job for the main
// thread, which then reads the events and renders.
#include "platform/video_player.h"
#include "platform/media_module.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "platform/symbols.h"

#include <mpv/client.h>
#include <mpv/render.h>

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QProxyStyle>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace platform {

namespace {

constexpr std::uint64_t SEEK_REPLY = 1;
constexpr std::uint64_t PRELOADED_HOOK = 2;

// The filter that turns a picture the file says to show rotated by
// `degrees` clockwise; none for an upright one. mpv's software renderer
// cannot rotate (it stops the process on such a picture), so the rotation is
// a filter of ours and mpv's own is off.
std::optional<std::string> rotation_filter(std::int64_t degrees)
{
    switch (((degrees % 360) + 360) % 360) {
    case 90:
        return "lavfi=[transpose=clock]";
    case 180:
        return "lavfi=[hflip,vflip]";
    case 270:
        return "lavfi=[transpose=cclock]";
    default:
        return std::nullopt;
    }
}

QColor control_tint() { return QColor(235, 235, 235); }

// The picture: the last frame mpv rendered, at the widget's pixel size.
class Surface final : public QWidget {
public:
    explicit Surface(std::function<void()> on_resize)
        : m_on_resize(std::move(on_resize))
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setMinimumSize(16, 16);
    }

    // A buffer of the surface's pixel size; rows 64-byte aligned for mpv's
    // SIMD paths (QImage rows of a multiple of 16 pixels are).
    QImage& buffer_for(QSize pixels)
    {
        const int padded = (pixels.width() + 15) / 16 * 16;
        if (m_buffer.width() != padded || m_buffer.height() != pixels.height())
            m_buffer = QImage(padded, pixels.height(), QImage::Format_RGB32);
        m_shown = pixels;
        return m_buffer;
    }

    // A line said in place of the picture (a file that cannot be played);
    // empty: the picture.
    void set_message(const QString& message)
    {
        m_message = message;
        update();
    }

    QSize pixel_size() const
    {
        const double dpr = devicePixelRatioF();
        return QSize(std::max(1, int(std::lround(width() * dpr))), std::max(1, int(std::lround(height() * dpr))));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        if (!m_message.isEmpty() || m_buffer.isNull() || m_shown.isEmpty()) {
            p.fillRect(rect(), Qt::black);
            p.setPen(control_tint());
            p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, m_message);
            return;
        }
        p.drawImage(QRectF(rect()), m_buffer, QRectF(0, 0, m_shown.width(), m_shown.height()));
    }
    void resizeEvent(QResizeEvent*) override { m_on_resize(); }

private:
    std::function<void()> m_on_resize;
    QImage m_buffer;
    QSize m_shown;
    QString m_message;
};

constexpr double HANDLE_W = 10;

// The range bar: the timeline with two handles and the kept part lit.
class RangeBar final : public QWidget {
public:
    RangeBar()
    {
        setMinimumHeight(28);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setCursor(Qt::SizeHorCursor);
    }

    void set(double start, double end, double duration)
    {
        m_duration = duration;
        m_start = start;
        m_end = end;
        update();
    }
    double start() const { return m_start; }
    double end() const { return m_end; }
    std::function<void(double)> on_seek;

protected:
    double track_w() const { return std::max(1.0, width() - 2 * HANDLE_W); }
    double x_of(double t) const { return HANDLE_W + time_to_x(t, m_duration, track_w()); }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double h = height();
        const QRectF track(HANDLE_W, 4, track_w(), h - 8);
        p.fillRect(track, QColor(60, 60, 60));
        const double x0 = x_of(m_start), x1 = x_of(m_end);
        const QColor lit(255, 196, 0);
        p.fillRect(QRectF(x0, 4, x1 - x0, h - 8), QColor(255, 196, 0, 70));
        p.setPen(QPen(lit, 2));
        p.drawLine(QPointF(x0, 3), QPointF(x1, 3));
        p.drawLine(QPointF(x0, h - 3), QPointF(x1, h - 3));
        p.setPen(Qt::NoPen);
        p.setBrush(lit);
        p.drawRoundedRect(QRectF(x0 - HANDLE_W, 1, HANDLE_W, h - 2), 3, 3);
        p.drawRoundedRect(QRectF(x1, 1, HANDLE_W, h - 2), 3, 3);
    }

    void mousePressEvent(QMouseEvent* e) override
    {
        const double x = e->position().x();
        m_dragging = std::abs(x - (x_of(m_start) - HANDLE_W / 2)) <= std::abs(x - (x_of(m_end) + HANDLE_W / 2)) ? 0 : 1;
        mouseMoveEvent(e);
    }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        if (m_dragging < 0)
            return;
        // The start handle sits left of its time, the end handle right of it.
        const double x = e->position().x() + (m_dragging == 0 ? HANDLE_W / 2 : -HANDLE_W / 2);
        const double t = x_to_time(x - HANDLE_W, m_duration, track_w());
        if (m_dragging == 0)
            m_start = std::min(t, m_end);
        else
            m_end = std::max(t, m_start);
        update();
        if (on_seek)
            on_seek(m_dragging == 0 ? m_start : m_end);
    }
    void mouseReleaseEvent(QMouseEvent*) override { m_dragging = -1; }

private:
    double m_duration = 0, m_start = 0, m_end = 0;
    int m_dragging = -1;
};

// A slider style whose left click sets the value where it lands; one for
// the program's life (a widget does not own its style).
class AbsoluteClickStyle final : public QProxyStyle {
public:
    static AbsoluteClickStyle* instance()
    {
        static auto* style = new AbsoluteClickStyle();
        return style;
    }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget, QStyleHintReturn* returned) const override
    {
        if (hint == QStyle::SH_Slider_AbsoluteSetButtons)
            return Qt::LeftButton;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

QToolButton* symbol_button(std::string_view symbol, const char* tooltip)
{
    auto* b = new QToolButton;
    // The desktop style lights a raised button up on hover, where the light
    // glyph would vanish: a faint veil on the dark stage instead.
    b->setStyleSheet(QStringLiteral("QToolButton { border: none; border-radius: 4px; padding: 2px; background: transparent; }"
                                    "QToolButton:hover { background: rgba(255, 255, 255, 38); }"
                                    "QToolButton:pressed { background: rgba(255, 255, 255, 64); }"));
    const QImage img = symbols::image(symbol, 20, control_tint(), 2.0);
    if (!img.isNull())
        b->setIcon(QIcon(QPixmap::fromImage(img)));
    b->setIconSize(QSize(20, 20));
    b->setToolTip(QString::fromUtf8(tooltip));
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

class VideoPlayerViewMpv;

// What mpv's callbacks may reach: it lives exactly as long as the view, and
// the view frees mpv (which waits for callbacks in flight) before it goes.
struct Core {
    mpv_handle* mpv = nullptr;
    mpv_render_context* render = nullptr;
    VideoPlayerViewMpv* view = nullptr;
    std::weak_ptr<Core> self;
    std::atomic<bool> events_queued { false };
    std::atomic<bool> render_queued { false };

    void shutdown()
    {
        if (render)
            mpv_render_context_free(render);
        render = nullptr;
        if (mpv)
            mpv_terminate_destroy(mpv);
        mpv = nullptr;
    }
};

class VideoPlayerViewMpv final : public VideoPlayerView {
public:
    VideoPlayerViewMpv(const std::filesystem::path& path, PlayerOptions options);
    ~VideoPlayerViewMpv() override { m_core->shutdown(); }

    bool has_current_item() const override { return m_loaded; }
    double position() const override { return m_position; }
    double duration() const override { return m_duration; }
    bool paused() const override { return m_paused; }
    void play() override;
    void pause() override;
    void step_frame(int direction) override;
    void seek(double seconds) override;
    std::optional<double> reverse_end() const override { return m_reverse; }
    std::optional<double> forward_end() const override { return m_forward; }
    void set_end_times(std::optional<double> reverse, std::optional<double> forward) override
    {
        m_reverse = reverse;
        m_forward = forward;
    }
    bool can_begin_trimming() const override { return m_first_frame && !m_trim_done; }
    void begin_trimming(std::function<void(TrimOutcome)> done) override;
    bool trimming() const override { return bool(m_trim_done); }
    void end_trimming(TrimOutcome outcome) override { end_trim(outcome); }

    void drain_events();
    void render_frame();

private:
    bool set_flag(const char* name, bool on)
    {
        int flag = on ? 1 : 0;
        return mpv_set_property(m_core->mpv, name, MPV_FORMAT_FLAG, &flag) >= 0;
    }
    // mpv reports an observed property only when it differs from what it last
    // reported, so a pause undone before the next report is never told: the
    // view keeps what it set itself. The caller tells of the change.
    void set_paused(bool on)
    {
        if (set_flag("pause", on))
            m_paused = on;
    }
    // Only while no seek is outstanding: one under way is leaving the end.
    bool at_file_end() const
    {
        int eof = 0;
        return m_seeks_sent == 0 && !m_seek_running
            && mpv_get_property(m_core->mpv, "eof-reached", MPV_FORMAT_FLAG, &eof) >= 0 && eof;
    }
    void on_position();
    // Upright pictures for a file whose video track says to rotate them.
    void apply_rotation();
    // The first frame counts once the file is loaded and a frame was drawn,
    // in whichever order the two news arrive.
    void note_first_frame()
    {
        if (!m_first_frame && m_loaded && m_frame_drawn) {
            m_first_frame = true;
            changed();
        }
    }
    void end_trim(TrimOutcome outcome);
    void refresh_controls();

    std::shared_ptr<Core> m_core;
    Surface* m_surface = nullptr;
    QToolButton* m_play = nullptr;
    QLabel* m_timecode = nullptr;
    QSlider* m_scrubber = nullptr;
    QWidget* m_trim_row = nullptr;
    RangeBar* m_range = nullptr;
    QIcon m_play_icon, m_pause_icon;

    bool m_loaded = false;
    bool m_frame_drawn = false;
    // Seeks sent and not yet taken by mpv, and whether a taken seek still
    // runs (its playback restart has not come). A restart before the reply
    // belongs to something earlier.
    int m_seeks_sent = 0;
    bool m_seek_running = false;
    int m_pending_step = 0;
    bool m_first_frame = false;
    bool m_paused = true;
    double m_position = 0;
    double m_duration = 0;
    std::optional<double> m_reverse, m_forward;
    std::function<void(TrimOutcome)> m_trim_done;
};

// mpv's callbacks come from its threads: each queues one job for the main
// thread, and no second one while the first waits.
template <std::atomic<bool> Core::*Queued, void (VideoPlayerViewMpv::*Handle)()>
void to_main(void* ctx)
{
    auto* core = static_cast<Core*>(ctx);
    if ((core->*Queued).exchange(true))
        return;
    util::on_main([weak = core->self] {
        if (auto core = weak.lock()) {
            core.get()->*Queued = false;
            (core->view->*Handle)();
        }
    });
}

QIcon icon_of(std::string_view symbol)
{
    const QImage img = symbols::image(symbol, 20, control_tint(), 2.0);
    return img.isNull() ? QIcon() : QIcon(QPixmap::fromImage(img));
}

VideoPlayerViewMpv::VideoPlayerViewMpv(const std::filesystem::path& path, PlayerOptions options)
    : m_core(std::make_shared<Core>())
{
    m_core->self = m_core;
    m_core->view = this;

    // A dark stage; only the controls drawn on it take light text, the
    // push buttons of the range bar keep the desktop's look.
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(24, 24, 24));
    setPalette(pal);

    m_surface = new Surface([this] { render_frame(); });
    m_surface->setObjectName("picture");
    m_play_icon = icon_of("play.fill");
    m_pause_icon = icon_of("pause.fill");
    auto* back = symbol_button("backward.frame.fill", "Un cuadro atrás");
    m_play = symbol_button("play.fill", "Reproducir o pausar");
    auto* forward = symbol_button("forward.frame.fill", "Un cuadro adelante");
    back->setObjectName("frame-back");
    forward->setObjectName("frame-forward");
    m_play->setObjectName("play");
    m_timecode = new QLabel;
    m_timecode->setObjectName("timecode");
    QFont mono = m_timecode->font();
    mono.setPixelSize(12);
    m_timecode->setFont(mono);
    QPalette light = m_timecode->palette();
    light.setColor(QPalette::WindowText, control_tint());
    m_timecode->setPalette(light);
    m_scrubber = new QSlider(Qt::Horizontal);
    m_scrubber->setObjectName("scrubber");
    m_scrubber->setFocusPolicy(Qt::NoFocus);
    m_scrubber->setRange(0, 0);

    connect(back, &QToolButton::clicked, this, [this] { step_frame(-1); });
    connect(forward, &QToolButton::clicked, this, [this] { step_frame(1); });
    connect(m_play, &QToolButton::clicked, this, [this] { m_paused ? play() : pause(); });
    // A click on the bar jumps there (not a page step), and a drag follows
    // the pointer; the player's own updates come in with signals blocked.
    m_scrubber->setStyle(AbsoluteClickStyle::instance());
    connect(m_scrubber, &QSlider::valueChanged, this, [this](int ms) { seek(ms / 1000.0); });

    auto* controls = new QHBoxLayout;
    controls->setContentsMargins(8, 2, 8, 2);
    controls->setSpacing(4);
    controls->addWidget(back);
    controls->addWidget(m_play);
    controls->addWidget(forward);
    controls->addSpacing(6);
    controls->addWidget(m_timecode);
    controls->addSpacing(6);
    controls->addWidget(m_scrubber, 1);

    m_trim_row = new QWidget;
    m_range = new RangeBar;
    m_range->setObjectName("range");
    m_range->on_seek = [this](double t) { seek(t); };
    auto* cancel = new QPushButton(QString::fromUtf8("Cancelar"));
    auto* confirm = new QPushButton(QString::fromUtf8("Recortar"));
    cancel->setObjectName("trim-cancel");
    confirm->setObjectName("trim-confirm");
    connect(cancel, &QPushButton::clicked, this, [this] { end_trim(TrimOutcome::Cancelled); });
    connect(confirm, &QPushButton::clicked, this, [this] { end_trim(TrimOutcome::Confirmed); });
    auto* trim = new QHBoxLayout(m_trim_row);
    trim->setContentsMargins(8, 2, 8, 4);
    trim->setSpacing(8);
    trim->addWidget(m_range, 1);
    trim->addWidget(cancel);
    trim->addWidget(confirm);
    m_trim_row->hide();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(m_surface, 1);
    column->addLayout(controls);
    column->addWidget(m_trim_row);
    refresh_controls();

    mpv_handle* mpv = mpv_create();
    const QString cannot_play = QString::fromUtf8("No se pudo reproducir el video");
    if (!mpv) {
        util::log("reproductor: mpv no arrancó");
        m_surface->set_message(cannot_play);
        return;
    }
    m_core->mpv = mpv;
    const std::pair<const char*, const char*> settings[] = {
        { "vo", "libmpv" },
        { "ao", options.sound ? "pulse,null" : "null" },
        { "audio-client-name", "Vistrope" },
        { "keep-open", "always" },
        { "pause", "yes" },
        { "hr-seek", "yes" },
        { "hwdec", "no" },
        { "video-rotate", "no" }, // rotated by a filter of ours: see rotation_filter
        { "config", "no" },
        { "terminal", "no" },
        { "input-default-bindings", "no" },
        { "input-vo-keyboard", "no" },
        { "idle", "yes" },
    };
    for (const auto& [name, value] : settings)
        mpv_set_option_string(mpv, name, value);
    if (mpv_initialize(mpv) < 0) {
        util::log("reproductor: mpv no arrancó");
        m_surface->set_message(cannot_play);
        return;
    }
    mpv_render_param params[] = {
        { MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_SW) },
        { MPV_RENDER_PARAM_INVALID, nullptr },
    };
    if (mpv_render_context_create(&m_core->render, mpv, params) < 0) {
        m_core->render = nullptr;
        util::log("reproductor: sin salida de video");
        m_surface->set_message(cannot_play);
        return;
    }
    // The file's rotation is known once it is opened, before any decoder exists.
    mpv_hook_add(mpv, PRELOADED_HOOK, "on_preloaded", 0);
    mpv_observe_property(mpv, 0, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, 0, "duration", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, 0, "pause", MPV_FORMAT_FLAG);
    mpv_set_wakeup_callback(mpv, to_main<&Core::events_queued, &VideoPlayerViewMpv::drain_events>, m_core.get());
    mpv_render_context_set_update_callback(
        m_core->render, to_main<&Core::render_queued, &VideoPlayerViewMpv::render_frame>, m_core.get());
    const std::string file = path.string();
    const char* load[] = { "loadfile", file.c_str(), nullptr };
    mpv_command(mpv, load);
}

void VideoPlayerViewMpv::drain_events()
{
    if (!m_core->mpv)
        return;
    while (true) {
        mpv_event* ev = mpv_wait_event(m_core->mpv, 0);
        if (ev->event_id == MPV_EVENT_NONE)
            break;
        if (ev->event_id == MPV_EVENT_HOOK && ev->reply_userdata == PRELOADED_HOOK) {
            apply_rotation();
            mpv_hook_continue(m_core->mpv, static_cast<mpv_event_hook*>(ev->data)->id);
        } else if (ev->event_id == MPV_EVENT_FILE_LOADED) {
            m_loaded = true;
        } else if (ev->event_id == MPV_EVENT_COMMAND_REPLY && ev->reply_userdata == SEEK_REPLY) {
            m_seeks_sent = std::max(0, m_seeks_sent - 1);
            m_seek_running = ev->error >= 0 || m_seek_running;
            if (ev->error < 0 && m_seeks_sent == 0 && !m_seek_running)
                if (const int step = std::exchange(m_pending_step, 0))
                    step_frame(step);
        } else if (ev->event_id == MPV_EVENT_PLAYBACK_RESTART && m_seeks_sent == 0 && m_seek_running) {
            m_seek_running = false;
            if (const int step = std::exchange(m_pending_step, 0))
                step_frame(step);
        } else if (ev->event_id == MPV_EVENT_END_FILE) {
            const auto* end = static_cast<mpv_event_end_file*>(ev->data);
            if (end->reason == MPV_END_FILE_REASON_ERROR) {
                util::log(std::string("reproductor: ") + mpv_error_string(end->error));
                m_loaded = false;
                m_surface->set_message(QString::fromUtf8("No se pudo reproducir el video"));
            }
        } else if (ev->event_id == MPV_EVENT_PROPERTY_CHANGE) {
            const auto* prop = static_cast<mpv_event_property*>(ev->data);
            const std::string_view name = prop->name;
            const bool has = prop->format != MPV_FORMAT_NONE && prop->data;
            if (name == "time-pos" && has) {
                m_position = *static_cast<double*>(prop->data);
                on_position();
            } else if (name == "duration" && has) {
                m_duration = std::max(0.0, *static_cast<double*>(prop->data));
            } else if (name == "pause" && has) {
                m_paused = *static_cast<int*>(prop->data) != 0;
            }
        }
    }
    refresh_controls();
    note_first_frame();
    changed();
}

void VideoPlayerViewMpv::apply_rotation()
{
    std::int64_t count = 0;
    mpv_get_property(m_core->mpv, "track-list/count", MPV_FORMAT_INT64, &count);
    for (std::int64_t i = 0; i < count; ++i) {
        char* type = mpv_get_property_string(m_core->mpv, fmt::format("track-list/{}/type", i).c_str());
        const bool video = type && std::string_view(type) == "video";
        mpv_free(type);
        if (!video)
            continue;
        std::int64_t degrees = 0;
        mpv_get_property(m_core->mpv, fmt::format("track-list/{}/demux-rotation", i).c_str(), MPV_FORMAT_INT64, &degrees);
        const auto filter = rotation_filter(degrees);
        if (mpv_set_property_string(m_core->mpv, "vf", filter ? filter->c_str() : "") < 0)
            util::log(fmt::format("reproductor: no pude girar el video {}°", degrees));
        return;
    }
}

void VideoPlayerViewMpv::render_frame()
{
    if (!m_core->render)
        return;
    const std::uint64_t flags = mpv_render_context_update(m_core->render);
    const bool fresh = flags & MPV_RENDER_UPDATE_FRAME;
    // A resize redraws the frame on screen; before the first one there is none.
    if (!fresh && !m_frame_drawn)
        return;
    const QSize size = m_surface->pixel_size();
    QImage& buffer = m_surface->buffer_for(size);
    int sw_size[2] = { size.width(), size.height() };
    std::size_t stride = std::size_t(buffer.bytesPerLine());
    char format[] = "bgr0";
    mpv_render_param params[] = {
        { MPV_RENDER_PARAM_SW_SIZE, sw_size },
        { MPV_RENDER_PARAM_SW_FORMAT, format },
        { MPV_RENDER_PARAM_SW_STRIDE, &stride },
        { MPV_RENDER_PARAM_SW_POINTER, buffer.bits() },
        { MPV_RENDER_PARAM_INVALID, nullptr },
    };
    if (mpv_render_context_render(m_core->render, params) < 0)
        return;
    m_surface->update();
    if (fresh)
        m_frame_drawn = true;
    if (fresh && wants_frames()) {
        double at = 0;
        if (mpv_get_property(m_core->mpv, "time-pos", MPV_FORMAT_DOUBLE, &at) >= 0)
            frame_shown(at);
    }
    note_first_frame();
}

void VideoPlayerViewMpv::on_position()
{
    // Playback obeys the forward end time by stopping on it. While a seek is
    // outstanding the positions told are where playback was, not where it goes.
    if (m_seeks_sent > 0 || m_seek_running)
        return;
    if (m_forward && !m_paused && m_position >= *m_forward - 1e-3) {
        set_paused(true);
        seek(*m_forward);
    }
}

void VideoPlayerViewMpv::pause()
{
    if (!m_core->mpv)
        return;
    set_paused(true);
    refresh_controls();
    changed();
}

void VideoPlayerViewMpv::play()
{
    if (!m_core->mpv)
        return;
    const double from = m_reverse.value_or(0.0);
    const double to = m_forward.value_or(m_duration);
    // At the end (or outside the kept part) playing starts over. At the
    // file's end the position is the last frame's start, a frame short of
    // the duration, and mpv pauses again at once unless it seeks away.
    if (m_position >= to - 0.02 || m_position < from - 1e-3 || at_file_end())
        seek(from);
    set_paused(false);
    refresh_controls();
    changed();
}

void VideoPlayerViewMpv::step_frame(int direction)
{
    if (!m_core->mpv)
        return;
    // A step while a seek runs would be swallowed by it: it waits for the seek.
    if (m_seeks_sent > 0 || m_seek_running) {
        m_pending_step = direction;
        return;
    }
    const char* step[] = { direction < 0 ? "frame-back-step" : "frame-step", nullptr };
    mpv_command_async(m_core->mpv, 0, step);
}

void VideoPlayerViewMpv::seek(double seconds)
{
    if (!m_core->mpv)
        return;
    if (!m_loaded)
        return;
    const double t = std::clamp(seconds, 0.0, std::max(0.0, m_duration));
    const std::string at = fmt::format("{:.6f}", t);
    const char* cmd[] = { "seek", at.c_str(), "absolute+exact", nullptr };
    if (mpv_command_async(m_core->mpv, SEEK_REPLY, cmd) >= 0)
        ++m_seeks_sent;
}

void VideoPlayerViewMpv::begin_trimming(std::function<void(TrimOutcome)> done)
{
    if (!can_begin_trimming())
        return;
    m_trim_done = std::move(done);
    m_range->set(m_reverse.value_or(0.0), m_forward.value_or(m_duration), m_duration);
    m_trim_row->show();
    changed();
}

void VideoPlayerViewMpv::end_trim(TrimOutcome outcome)
{
    if (!m_trim_done)
        return;
    auto done = std::exchange(m_trim_done, nullptr);
    if (outcome == TrimOutcome::Confirmed) {
        m_reverse = m_range->start();
        m_forward = m_range->end();
        seek(*m_reverse);
    }
    m_trim_row->hide();
    changed();
    done(outcome);
}

void VideoPlayerViewMpv::refresh_controls()
{
    m_timecode->setText(QString::fromStdString(player_timecode(m_position) + " / " + player_timecode(m_duration)));
    m_play->setIcon(m_paused ? m_play_icon : m_pause_icon);
    const int total = int(std::lround(m_duration * 1000));
    if (m_scrubber->maximum() != total) {
        const QSignalBlocker quiet(m_scrubber);
        m_scrubber->setRange(0, total);
    }
    if (!m_scrubber->isSliderDown()) {
        const QSignalBlocker quiet(m_scrubber);
        m_scrubber->setValue(int(std::lround(m_position * 1000)));
    }
}

} // namespace

std::unique_ptr<VideoPlayerView> mpv::create_player_view(const std::filesystem::path& path, PlayerOptions options)
{
    return std::make_unique<VideoPlayerViewMpv>(path, options);
}

std::string player_timecode(double seconds)
{
    const long long cs = std::isfinite(seconds) ? std::llround(std::max(seconds, 0.0) * 100) : 0;
    return fmt::format("{}:{:02}.{:02}", cs / 6000, (cs / 100) % 60, cs % 100);
}

double time_to_x(double seconds, double duration, double width)
{
    if (!(duration > 0) || !(width > 0))
        return 0;
    return std::clamp(seconds / duration, 0.0, 1.0) * width;
}

double x_to_time(double x, double duration, double width)
{
    if (!(duration > 0) || !(width > 0))
        return 0;
    return std::clamp(x / width, 0.0, 1.0) * duration;
}

} // namespace platform

// The module's table: the one symbol the program looks up in it.
extern "C" const platform::MediaModule* vistrope_player_module()
{
    using namespace platform;
    static const MediaModule table {
        .version = VISTROPE_VERSION,
        .size = sizeof(MediaModule),
        .player_view = &mpv::create_player_view,
    };
    return &table;
}
