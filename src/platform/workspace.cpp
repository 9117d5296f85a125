#include "platform/workspace.h"

#include "platform/process.h"

namespace platform {

namespace {
std::optional<bool> g_permission_answer;
}

void open_path(const std::string& path)
{
    // The result is ignored: a desktop without a handler simply opens nothing.
    (void)start_detached("xdg-open", { path });
}

bool screen_recording_permission()
{
    return g_permission_answer.value_or(true);
}

void set_screen_recording_permission_for_tests(std::optional<bool> answer)
{
    g_permission_answer = answer;
}

} // namespace platform
