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
