#include "capture/overlay.h"

#include "capture/modebar.h"
#include "capture/overlay_view.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <QCursor>

#include <fmt/format.h>

#include <chrono>
#include <memory>

#include <unistd.h>

namespace overlay {

void panel_shown_now();

namespace {

struct Slots {
    std::optional<Session> session;
    std::vector<std::unique_ptr<VistropeOverlayWindow>> owned;
    std::vector<VistropeOverlayWindow*> panels;
    std::uint64_t generation = 0;
    std::optional<Roads> roads;
    std::function<Roads()> make_default_roads; // the shell's, installed at launch
    // Opening: pictures still to come before the panels may appear, and the
    // timings of the opening for its log line.
    std::size_t pictures_pending = 0;
    std::chrono::steady_clock::time_point opened_at;
    double ms_prewarm = 0;
    double ms_windows = 0;
    double ms_pictures = 0; // when the panels were told to appear
    double ms_bar = 0;      // showing the mode bar
    PointF opening_mouse;   // the pointer when the session began
    // The panel whose first paint ends the opening, and the opening's time.
    VistropeOverlayWindow* opening_key = nullptr;
    // The panels are being revealed (a parked key panel paints within), and
    // whether the key panel's picture went out meanwhile.
    bool revealing = false;
    bool key_shown_in_reveal = false;
    double last_open_ms = 0;
};

Slots& slots()
{
    util::require_main_thread("hilo principal");
    static auto* s = new Slots(); // windows are closed by the application, not by static destruction
    return *s;
}

Roads& roads()
{
    auto& s = slots();
    if (!s.roads)
        s.roads = default_roads();
    return *s.roads;
}

double ms_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

std::string point_text(PointF p)
{
    return fmt::format("({:.1f}, {:.1f})", p.x, p.y);
}

std::string rect_text(const RectF& r)
{
    return fmt::format("({:.1f}, {:.1f}, {:.1f}, {:.1f})", r.x, r.y, r.w, r.h);
}

// The pointer in global bottom-left points, by the panels' own convention
// (the top-left corner of the pixel under it), so that the first pointer of
// a session matches the ones its events bring.
PointF mouse_location()
{
    return global_from_qt(QCursor::pos());
}

int index_of(const VistropeOverlayWindow& view)
{
    const auto& panels = slots().panels;
    for (std::size_t i = 0; i < panels.size(); ++i)
        if (panels[i] == &view)
            return static_cast<int>(i);
    return -1;
}

// Hides the bar and every panel, forgetting each panel's state.
void close_panels()
{
    slots().opening_key = nullptr;
    modebar::hide();
    for (auto* panel : slots().panels) {
        panel->conceal();
        panel->reset();
    }
}

// The common first step of every finish.
void close_for_result()
{
    slots().session.reset();
    close_panels();
}

void reveal_panels()
{
    auto& s = slots();
    if (!s.session)
        return;
    // The pointer as the session found it: asking the server again costs a
    // round trip, and the pointer moves little in the few milliseconds
    // between.
    const PointF mouse = s.opening_mouse;
    VistropeOverlayWindow* key = nullptr;
    for (auto* panel : s.panels)
        if (!key && panel->state().frame.contains(mouse.x, mouse.y))
            key = panel;
    if (!key && !s.panels.empty())
        key = s.panels.front();
    s.opening_key = key;
    s.ms_pictures = ms_since(s.opened_at);
    s.revealing = true;
    s.key_shown_in_reveal = false;
    for (auto* panel : s.panels)
        panel->reveal(panel == key);
    s.revealing = false;
    // The bar follows, above the panels. A parked key panel has just sent
    // its picture, and a parked bar showing what it showed last comes back
    // without a paint. A newly mapped key panel paints at its expose: the
    // bar is mapped meanwhile, while the server is idle, so that both
    // pictures reach the screen from the same turn of the event loop.
    const auto bar_start = std::chrono::steady_clock::now();
    if (state::config()->show_mode_bar)
        modebar::show(bar_choice(s.session->mode, s.session->purpose), mouse);
    s.ms_bar = ms_since(bar_start);
    // The opening ends with the key panel's picture sent and the bar shown.
    if (!key || std::exchange(s.key_shown_in_reveal, false))
        panel_shown_now();
}

// The picture of one screen taken before the panels appear.
void picture_arrived(std::uint64_t gen, std::size_t index, std::optional<QImage> image)
{
    auto& s = slots();
    // A picture for a session that was cancelled or replaced meanwhile.
    if (gen != s.generation || !s.session || index >= s.panels.size())
        return;
    VistropeOverlayWindow& panel = *s.panels[index];
    auto& st = panel.state();
    if (image && !image->isNull()) {
        image->setDevicePixelRatio(1.0);
        panel.set_background(*image);
        if (st.snapshot_requested)
            st.frozen = *image;
    } else if (st.snapshot_requested) {
        st.snapshot_failed = true;
    }
    if (s.pictures_pending > 0 && --s.pictures_pending == 0)
        reveal_panels();
}

void snapshot_arrived(std::uint64_t gen, std::size_t index, std::optional<QImage> image)
{
    auto& s = slots();
    if (gen != s.generation || !s.session || index >= s.panels.size())
        return;
    VistropeOverlayWindow& view = *s.panels[index];
    auto& st = view.state();
    if (!image || image->isNull()) {
        st.snapshot_failed = true;
        if (const auto pending = std::exchange(st.pending_finish, std::nullopt))
            finish_area(view, *pending);
        return;
    }
    st.frozen = *image;
    if (const auto pending = std::exchange(st.pending_finish, std::nullopt))
        finish_area(view, *pending);
    else
        view.render();
}

void deliver_window(Purpose purpose, QImage image, util::Stopwatch sw, RectF flash_rect, std::optional<QImage> crop, double scale)
{
    deliver({ purpose, std::move(image), Kind::Window, flash_rect, std::move(crop), scale }, std::move(sw));
}

} // namespace

void panel_shown_now()
{
    auto& s = slots();
    s.opening_key = nullptr;
    if (!s.session)
        return;
    // The key panel's picture is on screen, the bar mapped above it: the
    // opening is measured up to here.
    s.last_open_ms = ms_since(s.opened_at);
    util::log(fmt::format("selector visible en {:.1f} ms (prewarm {:.1f}, ventanas {:.1f}, imágenes {:.1f}, barra {:.1f})",
        s.last_open_ms, s.ms_prewarm, s.ms_windows, s.ms_pictures, s.ms_bar));
}

void panel_shown(VistropeOverlayWindow& view)
{
    auto& s = slots();
    if (s.opening_key != &view)
        return;
    if (s.revealing)
        s.key_shown_in_reveal = true;
    else
        panel_shown_now();
}

double last_open_ms()
{
    return slots().last_open_ms;
}

void set_roads(Roads r)
{
    slots().roads = std::move(r);
}

void set_default_roads(std::function<Roads()> make)
{
    slots().make_default_roads = std::move(make);
}

Roads default_roads()
{
    auto& make = slots().make_default_roads;
    if (!make)
        util::fatal("el selector no tiene rutas: falta app::install_listeners");
    return make();
}

std::uint64_t generation()
{
    return slots().generation;
}

bool is_open()
{
    return slots().session.has_value();
}

std::optional<Session> session()
{
    return slots().session;
}

const std::vector<VistropeOverlayWindow*>& panels()
{
    return slots().panels;
}

PointF global_from_qt(const QPointF& pos)
{
    return { pos.x(), platform::primary_height() - pos.y() };
}

VistropeOverlayWindow* panel_at(PointF g)
{
    for (auto* panel : slots().panels)
        if (panel->state().frame.contains(g.x, g.y))
            return panel;
    return nullptr;
}

void toggle_mode()
{
    auto& s = slots();
    if (s.session)
        s.session->mode = toggled_mode(s.session->mode, s.session->purpose);
}

void prewarm()
{
    modebar::prewarm();
    auto& s = slots();
    const auto screens = platform::screens();
    bool same = screens.size() == s.panels.size();
    for (std::size_t i = 0; same && i < screens.size(); ++i) {
        const auto& st = s.panels[i]->state();
        same = st.display_id == platform::screen_display_id(screens[i]) && st.frame == screens[i].frame && st.scale == screens[i].scale;
    }
    if (same)
        return;
    // The screens changed under an open selection: its panels and grabs go,
    // so the session ends with them (answers still on their way are dropped).
    if (s.session)
        cancel();
    for (auto* panel : s.panels)
        panel->conceal();
    s.owned.clear();
    s.panels.clear();
    for (const auto& screen : screens) {
        s.owned.push_back(std::make_unique<VistropeOverlayWindow>(screen));
        s.panels.push_back(s.owned.back().get());
    }
}

void begin(Mode mode, Purpose purpose, actions::RecordingFormat format)
{
    auto& s = slots();
    if (s.session)
        cancel();
    s.opened_at = std::chrono::steady_clock::now();
    s.last_open_ms = 0;
    prewarm();
    s.ms_prewarm = ms_since(s.opened_at);

    std::vector<WindowInfo> windows;
    if (roads().window_list)
        windows = filter_windows(roads().window_list(), static_cast<long>(::getpid()), platform::primary_height());
    s.ms_windows = ms_since(s.opened_at);

    s.session = Session { std::move(windows), mode, purpose, format };
    const std::uint64_t gen = ++s.generation;

    const PointF mouse = mouse_location();
    s.opening_mouse = mouse;
    s.ms_bar = 0;
    const bool wanted = state::config()->freeze_screen && purpose != Purpose::Record;
    for (auto* panel : s.panels) {
        panel->reset();
        auto& st = panel->state();
        st.snapshot_requested = wanted;
        if (st.frame.contains(mouse.x, mouse.y)) {
            st.pointer = PointF { mouse.x - st.frame.x, mouse.y - st.frame.y };
            if (mode == Mode::Window)
                st.hovered = window_at(s.session->windows, mouse);
        }
    }
    if (!state::config()->freeze_screen) {
        if (roads().compositor_running && roads().compositor_running()) {
            // The live screen shows through the panels: no picture.
            s.pictures_pending = 0;
            reveal_panels();
            return;
        }
        static bool told = false;
        if (!std::exchange(told, true))
            util::log("sin compositor: el selector muestra la pantalla congelada");
    }
    // Every screen's picture comes first: the panels appear over it once all
    // have answered (see the header).
    s.pictures_pending = s.panels.size();
    if (s.panels.empty()) {
        reveal_panels();
        return;
    }
    const std::vector<VistropeOverlayWindow*> list = s.panels;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& st = list[i]->state();
        // The panel's backing store, given back after an idle spell, is made
        // again while the picture is taken rather than at the first paint.
        roads().screen_picture(
            st.display_id, st.scale, [panel = list[i]] { panel->prepare_store(); },
            [gen, i](std::optional<QImage> image) { picture_arrived(gen, i, std::move(image)); });
    }
}

void cancel()
{
    auto& s = slots();
    ++s.generation;
    s.session.reset();
    s.pictures_pending = 0;
    s.opening_key = nullptr;
    close_panels();
}

void choose(modebar::Choice choice)
{
    auto& s = slots();
    if (!s.session)
        return;
    const ChoiceEffect effect = choose_effect(choice, s.session->purpose);
    if (effect.cancel_and_timer) {
        cancel();
        if (roads().self_timer)
            roads().self_timer();
        return;
    }
    if (effect.format)
        s.session->format = *effect.format;
    if (effect.purpose == Purpose::Text && s.session->purpose != Purpose::Text && roads().warm_up_text)
        roads().warm_up_text();
    s.session->mode = effect.mode;
    s.session->purpose = effect.purpose;
    util::log(fmt::format("barra: {}", modebar::debug_name(choice)));
    for (auto* panel : std::vector<VistropeOverlayWindow*>(s.panels))
        panel->mode_changed();
    if (effect.finish_fullscreen) {
        if (s.panels.empty())
            return;
        const PointF mouse = mouse_location();
        VistropeOverlayWindow* target = panel_at(mouse);
        if (!target)
            target = s.panels.front();
        finish_area(*target, RectF { 0, 0, target->state().frame.w, target->state().frame.h });
        return;
    }
    modebar::select(static_cast<std::uint8_t>(choice));
}

void request_snapshot(VistropeOverlayWindow& view)
{
    auto& st = view.state();
    st.snapshot_requested = true;
    const int index = index_of(view);
    if (index < 0)
        return;
    // Once the panels are up, a new picture of the screen would show them:
    // the picture taken before they appeared stands in for the snapshot.
    std::optional<QImage> picture;
    if (!st.background.isNull())
        picture = st.background;
    const std::uint64_t gen = slots().generation;
    util::on_main([gen, index, picture = std::move(picture)]() mutable {
        snapshot_arrived(gen, static_cast<std::size_t>(index), std::move(picture));
    });
}

void finish_area(VistropeOverlayWindow& view, const RectF& rect)
{
    auto& st = view.state();
    const std::uint32_t display = st.display_id;
    const double scale = st.scale;
    const double height = view.view_height();
    const QImage frozen = st.frozen;
    const RectF global = view_to_global(rect, st.frame);
    const RectF local = view_to_local(rect, height);
    const auto open = session();
    const Purpose purpose = open ? open->purpose : Purpose::Screenshot;
    const actions::RecordingFormat format = open ? open->format : actions::RecordingFormat::Video;

    if (purpose == Purpose::Scroll) {
        close_for_result();
        if (roads().scroll)
            roads().scroll(display, local, scale);
        return;
    }
    if (purpose == Purpose::Record) {
        close_for_result();
        state::set_last_area({ display, local.x, local.y, local.w, local.h });
        if (roads().record)
            roads().record(display, local, std::nullopt, scale, format);
        return;
    }

    bool use_frozen = false;
    if (state::config()->freeze_screen) {
        if (!frozen.isNull() && !st.snapshot_failed) {
            use_frozen = true;
        } else if (frozen.isNull() && !st.snapshot_failed && st.snapshot_requested && open) {
            // The frozen picture is on its way: park the finish until it comes.
            st.pending_finish = rect;
            return;
        }
    }
    close_for_result();
    util::Stopwatch sw("captura");
    state::set_last_area({ display, local.x, local.y, local.w, local.h });

    if (use_frozen) {
        const auto pixels = clamp_crop(area_crop(local, scale), frozen.width(), frozen.height());
        sw.lap("selección recortada de la imagen congelada");
        if (!pixels)
            return;
        QImage crop = frozen.copy(static_cast<int>(pixels->x), static_cast<int>(pixels->y), static_cast<int>(pixels->w),
            static_cast<int>(pixels->h));
        if (crop.isNull())
            return;
        deliver({ purpose, std::move(crop), Kind::Area, global, std::nullopt, scale }, std::move(sw));
        return;
    }
    // The selection is finished: its capture is delivered whatever the user
    // opens or cancels meanwhile (a new session's panels are left out of it
    // like every panel of ours).
    roads().capture_display(display, local,
        [=](std::optional<QImage> image) mutable {
            sw.lap("región capturada");
            if (!image || image->isNull())
                return;
            deliver({ purpose, std::move(*image), Kind::Area, global, std::nullopt, scale }, std::move(sw));
        },
        scale);
}

void finish_window(const WindowInfo& window)
{
    auto& s = slots();
    const Purpose purpose = s.session ? s.session->purpose : Purpose::Screenshot;
    const actions::RecordingFormat format = s.session ? s.session->format : actions::RecordingFormat::Video;
    s.session.reset();
    util::Stopwatch sw("captura");

    std::optional<QImage> crop;
    RectF flash_rect = window.rect();
    const double cx = window.x + window.w / 2;
    const double cy = window.y + window.h / 2;
    for (auto* panel : s.panels) {
        const auto& st = panel->state();
        if (!st.frame.contains(cx, cy) || st.frozen.isNull())
            continue;
        const auto wc = window_crop(window, st.frame, st.scale);
        if (!wc)
            continue;
        const auto pixels = clamp_crop(wc->pixels, st.frozen.width(), st.frozen.height());
        if (!pixels)
            continue;
        QImage image = st.frozen.copy(static_cast<int>(pixels->x), static_cast<int>(pixels->y), static_cast<int>(pixels->w),
            static_cast<int>(pixels->h));
        if (image.isNull())
            continue;
        crop = std::move(image);
        flash_rect = wc->clipped;
        break;
    }
    close_panels();

    if (purpose == Purpose::Record) {
        util::log(fmt::format("grabar ventana {} en {}", window.number, rect_text(window.rect())));
        const auto screen = platform::screen_for_point(cx, cy);
        if (!screen)
            return;
        const auto local = clip_to_local(window.rect(), screen->frame);
        if (!local)
            return;
        if (roads().record)
            roads().record(platform::screen_display_id(*screen), *local, window.number, screen->scale, format);
        return;
    }
    if (purpose == Purpose::Scroll) {
        if (roads().scroll_window)
            roads().scroll_window(window.rect());
        return;
    }
    const bool shadow = state::config()->window_shadow && purpose == Purpose::Screenshot;
    const auto screen = platform::screen_for_point(window.x + 1, window.y + 1);
    const double scale = screen ? screen->scale : 2.0;
    // As for areas: a picked window is delivered even when a new session
    // opened or was cancelled while it was being captured.
    CaptureDone captured = [=](std::optional<QImage> image) mutable {
        sw.lap("ventana capturada");
        if (!image || image->isNull())
            return;
        if (!shadow) {
            deliver_window(purpose, std::move(*image), std::move(sw), flash_rect, std::move(crop), scale);
            return;
        }
        auto trim = roads().trim_transparent;
        util::in_background([=, image = std::move(*image)]() mutable {
            QImage trimmed = trim ? trim(image) : QImage();
            util::on_main([=, image = std::move(image), trimmed = std::move(trimmed)]() mutable {
                sw.lap("bordes vacíos recortados");
                deliver_window(purpose, trimmed.isNull() ? std::move(image) : std::move(trimmed), std::move(sw), flash_rect,
                    std::move(crop), scale);
            });
        });
    };
    // The text of a window is what its program shows: the title bar's
    // title, icon and buttons are the window manager's.
    if (purpose == Purpose::Text && roads().capture_window_content)
        roads().capture_window_content(window.number, std::move(captured));
    else
        roads().capture_window(window.number, shadow, std::move(captured));
}

void deliver(Finished finished, util::Stopwatch stopwatch)
{
    if (finished.purpose == Purpose::Text) {
        util::require_main_thread("hilo principal");
        if (roads().deliver_text)
            roads().deliver_text(std::move(finished), std::move(stopwatch));
        return;
    }
    if (roads().deliver_shot)
        roads().deliver_shot(std::move(finished), std::move(stopwatch));
}

void debug_hover(double x, double y)
{
    if (slots().panels.empty())
        return;
    VistropeOverlayWindow& view = *slots().panels.front();
    const auto& st = view.state();
    const auto open = session();
    const PointF g { st.frame.x + x, st.frame.y + y };
    view.state().pointer = PointF { x, y };
    view.state().hovered = open ? window_at(open->windows, g) : std::nullopt;
    view.render();
}

void debug_select(const RectF& rect, double x, double y)
{
    if (slots().panels.empty())
        return;
    VistropeOverlayWindow& view = *slots().panels.front();
    view.state().selection = rect;
    view.state().pointer = PointF { x, y };
    view.render();
}

void debug_finish(const RectF& rect)
{
    if (slots().panels.empty())
        return;
    finish_area(*slots().panels.front(), rect);
}

void debug_click_global(PointF point)
{
    const auto open = session();
    const auto window = open ? window_at(open->windows, point) : std::nullopt;
    util::log(fmt::format("debug: clic en {}, modo {}, ventana {}", point_text(point), debug_name(open ? open->mode : Mode::Area),
        window ? fmt::format("{}", window->number) : std::string("ninguna")));
    if (window)
        finish_window(*window);
    else
        cancel();
}

} // namespace overlay
