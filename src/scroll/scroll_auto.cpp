// Automatic scrolling: wheel clicks at the region's centre 15 times a second,
// slower and backing up when the stitcher loses track, finished once the
// content stops moving for 1.5 s.
#include "scroll/scroll_session.h"

#include "base/util.h"
#include "base/util_queue.h"

namespace scroll {

namespace {

constexpr double TICK_SECONDS = 1.0 / 15;
constexpr auto GIVE_UP = std::chrono::milliseconds(1500);
constexpr double MIN_STEP = 12;

void auto_tick(std::uint64_t id, std::uint64_t chain)
{
    Session* s = live(id);
    if (!s || !s->auto_scroll || s->auto_chain != chain)
        return; // the chain ends
    if (services().now() - s->last_progress > GIVE_UP) {
        util::log("desplazamiento automático: llegó al final");
        finish();
        return;
    }
    services().post_scroll(s->screen_rect, -s->step);
    util::after(TICK_SECONDS, [id, chain] { auto_tick(id, chain); });
}

} // namespace

void back_off(Session& s)
{
    s.step = std::max(s.step / 2, MIN_STEP);
    services().post_scroll(s.screen_rect, 2 * s.step);
}

void set_auto(std::uint64_t id, bool on)
{
    if (!on) {
        if (Session* s = live(id)) {
            s->auto_scroll = false;
            s->last_progress = services().now();
        }
        refresh_ui(id);
        return;
    }
    if (!services().accessibility_trusted()) {
        hud::toast_through(services().toast, "hand.raised",
            "Para desplazarse solo, activa Vistrope en Ajustes › Privacidad › Accesibilidad", 3.0);
        return;
    }
    Session* s = live(id);
    if (!s)
        return;
    s->auto_scroll = true;
    s->last_progress = services().now();
    const std::uint64_t chain = ++s->auto_chain;
    refresh_ui(id);
    auto_tick(id, chain);
}

void toggle_auto()
{
    if (Session* s = live())
        set_auto(s->id, !s->auto_scroll);
}

} // namespace scroll
