#include "platform/workspace.h"

#include "platform/process.h"

#include "base/util.h"
#include "base/util_queue.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

#include <fmt/format.h>

namespace platform {

namespace {
std::optional<bool> g_permission_answer;

// Why the opener failed, from its exit status (xdg-open's documented codes).
std::string opener_failure(int exit_status)
{
    switch (exit_status) {
    case 1: return "xdg-open no entendió la orden";
    case 2: return "no existe";
    case 3: return "no hay ninguna aplicación para abrirlo";
    case 4: return "la aplicación no pudo abrirlo";
    case -1: return "xdg-open terminó por una señal";
    default: return fmt::format("xdg-open terminó con estado {}", exit_status);
    }
}

} // namespace

void open_path_with(const std::string& opener, const std::string& path,
                    std::function<void(const std::string& message)> report)
{
    // The opener may stay running as long as the application it started, so
    // its answer is heard on the reaping thread, never waited for here.
    const auto started = start_detached(opener, { path }, [path, report](int status) {
        if (status != 0)
            report(fmt::format("no pude abrir {}: {}", path, opener_failure(status)));
    });
    if (!started)
        report(fmt::format("no pude abrir {}: {}", path, started.error()));
}

void open_path(const std::string& path, std::function<void(const std::string& why)> failed)
{
    open_path_with("xdg-open", path, [failed = std::move(failed)](const std::string& message) {
        util::log(message);
        if (failed)
            util::on_main([failed, message] { failed(message); });
    });
}

void reveal(const std::filesystem::path& path, std::function<void(const std::string& message)> report)
{
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : std::string(".");
    if (!report)
        report = [](const std::string& message) { util::log(message); };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        open_path_with("xdg-open", folder, report);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList { QString::fromLatin1(file_url(path).toEncoded()) } << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 3000), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, folder, report] {
        if (watcher->isError())
            open_path_with("xdg-open", folder, report);
        watcher->deleteLater();
    });
}

QUrl file_url(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        absolute = path;
    const QByteArray bytes = QByteArray::fromStdString(absolute.native());
    return QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"), QUrl::StrictMode);
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
