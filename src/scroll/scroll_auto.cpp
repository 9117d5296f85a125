// Automatic scrolling: wheel clicks at the region's centre 15 times a second,
// slower and backing up when the stitcher loses track, finished once the
// content stops moving for 1.5 s.
//
// A wheel click scrolls as far as the program under it decides (a line, five
// lines, a fraction of a page), so the first tick's clicks are measured on the
// joins they cause, and every later motion is asked for in the number of whole
// clicks that comes nearest to it.
#include "scroll/scroll_session.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "platform/raw_input.h"

#include <fmt/format.h>

#include <cmath>

namespace scroll {

namespace {

constexpr double TICK_SECONDS = 1.0 / 15;
constexpr auto GIVE_UP = std::chrono::milliseconds(1500);
constexpr double MIN_STEP = 12;
// The first tick's joins are over once none came for two ticks (133 ms,
// four frames), or, when none comes at all, six ticks after it; at the latest
// after fifteen (a second).
constexpr int MEASURE_QUIET = 2;
constexpr int MEASURE_NOTHING = 6;
constexpr int MEASURE_LONGEST = 15;
// A frame the stitcher could not place still shows the content moving, but a
// stitcher lost for this many frames in a row (1.5 s of them) sees no motion
// it could ever join.
constexpr std::uint32_t LOST_STILL_MOVING = 45;
// How many ticks (267 ms) a posted step may wait for a frame that shows it.
constexpr int ANSWER_TICKS = 4;

// The delta to post for a motion of `points` (negative forward): once a
// click has been measured, the whole clicks that come nearest to that motion,
// at least one; before, the points as they are.
double wheel_delta(const Session& s, double points)
{
    if (s.click_pixels <= 0)
        return points;
    const double clicks = std::max(1.0, std::round(std::abs(points) * s.scale / s.click_pixels));
    return std::copysign(clicks * platform::WHEEL_CLICK_POINTS, points);
}

void post(Session& s, double delta)
{
    services().post_scroll(s.screen_rect, delta);
    s.unanswered = 0;
}

void end_measuring(Session& s)
{
    const Session::Measuring m = *s.measuring;
    s.measuring.reset();
    if (m.pixels <= 0 || m.clicks <= 0) {
        s.click_pixels = -1; // not measurable here: points as they are
        util::log("desplazamiento automático: no pude medir un clic de la rueda");
        return;
    }
    s.click_pixels = m.pixels / m.clicks;
    util::log(fmt::format("desplazamiento automático: un clic de la rueda mueve {:.1f} px", s.click_pixels));
}

void back_off(Session& s)
{
    s.step = std::max(s.step / 2, MIN_STEP);
    post(s, wheel_delta(s, 2 * s.step));
}

void auto_tick(std::uint64_t id, std::uint64_t chain)
{
    Session* s = live(id);
    if (!s || !s->auto_scroll || s->auto_chain != chain)
        return; // the chain ends
    const auto now = services().now();
    if (now - s->last_progress > GIVE_UP) {
        util::log("desplazamiento automático: llegó al final");
        finish();
        return;
    }
    const auto next = [id, chain] { util::after(TICK_SECONDS, [id, chain] { auto_tick(id, chain); }); };
    if (s->measuring) {
        Session::Measuring& m = *s->measuring;
        ++m.ticks;
        ++m.quiet_ticks;
        const bool over = m.joined ? m.quiet_ticks >= MEASURE_QUIET : m.ticks >= MEASURE_NOTHING;
        if (!over && m.ticks < MEASURE_LONGEST) {
            next(); // the first tick's motion is still arriving
            return;
        }
        end_measuring(*s);
    }
    if (s->unanswered && ++*s->unanswered < ANSWER_TICKS) {
        next(); // the capture has not caught up with the last step yet
        return;
    }
    const double delta = wheel_delta(*s, -s->step);
    if (s->click_pixels == 0)
        s->measuring = Session::Measuring { .clicks = platform::wheel_clicks(delta) };
    post(*s, delta);
    next();
}

} // namespace

void auto_report(Session& s, const stitch::Step& step, std::uint32_t lost_streak)
{
    const auto now = services().now();
    s.unanswered.reset();
    if (step.kind == stitch::Step::Kind::Moved) {
        s.last_progress = now;
        if (s.measuring) {
            s.measuring->pixels += double(std::abs(step.offset));
            s.measuring->joined = true;
            s.measuring->quiet_ticks = 0;
        }
    }
    if (step.kind != stitch::Step::Kind::Lost)
        return;
    // The content changed where it could not be joined: it has not stopped.
    if (lost_streak < LOST_STILL_MOVING)
        s.last_progress = now;
    if (!s.auto_scroll)
        return;
    if (s.measuring) {
        // The first tick's clicks went further than the stitcher could follow.
        s.measuring.reset();
        s.click_pixels = -1;
        util::log("desplazamiento automático: un clic de la rueda mueve más de lo que puedo seguir");
    }
    back_off(s);
}

void set_auto(std::uint64_t id, bool on)
{
    if (!on) {
        if (Session* s = live(id)) {
            s->auto_scroll = false;
            s->last_progress = services().now();
            s->unanswered.reset(); // switched on again, it steps at once
            if (s->measuring)
                s->measuring.reset(); // measured again when switched on
        }
        refresh_ui(id);
        return;
    }
    if (!services().accessibility_trusted()) {
        hud::toast_through(services().toast, "hand.raised",
            "Para desplazarse solo, el servidor X necesita XInput 2 y XTEST", 3.0);
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
