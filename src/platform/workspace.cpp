#include "platform/workspace.h"

#include "platform/process.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

namespace platform {

namespace {
std::optional<bool> g_permission_answer;
}

void open_path(const std::string& path)
{
    // The result is ignored: a desktop without a handler simply opens nothing.
    (void)start_detached("xdg-open", { path });
}

void reveal(const std::filesystem::path& path)
{
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : std::string(".");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        open_path(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList { QString::fromLatin1(file_url(path).toEncoded()) } << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 3000), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, folder] {
        if (watcher->isError())
            open_path(folder);
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
