#include "platform/workspace.h"

#include <QProcess>
#include <QString>

namespace platform {

namespace {
std::optional<bool> g_permission_answer;
}

void open_path(const std::string& path)
{
    QProcess::startDetached("xdg-open", { QString::fromStdString(path) });
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
