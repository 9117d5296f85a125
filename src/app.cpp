#include "app.h"

#include "state.h"
#include "util.h"

namespace app {

std::shared_ptr<AppDelegate> AppDelegate::create()
{
    return std::shared_ptr<AppDelegate>(new AppDelegate());
}

void AppDelegate::did_finish_launching()
{
    (void)state::config();
    util::log("listo");
}

} // namespace app

namespace app {

void run(AppAction action)
{
    // FIXME: the full dispatcher (permission check, every code).
    switch (action) {
    case AppAction::CaptureFullscreen:
        capture_fullscreen();
        break;
    case AppAction::CapturePreviousArea:
        capture_previous_area();
        break;
    case AppAction::SelfTimer:
        self_timer();
        break;
    default:
        util::log("acción todavía no disponible");
        break;
    }
}

} // namespace app
