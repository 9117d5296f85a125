// The update check's threads and alerts: the fetch and the download run on
// the background pool, each blocking its thread while its curl child runs
// (no event loop and no TLS in the tray process); decisions and alerts
// happen on the main thread.
#include "settings/updater.h"

#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "platform/digest.h"
#include "platform/process.h"
#include "platform/workspace.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>

#include <fmt/format.h>

#include <fstream>

namespace updater {

namespace {

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

std::filesystem::path download_folder()
{
    const QString place = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!place.isEmpty())
        return place.toStdString();
    return util::home_dir() / "Downloads";
}

// The feed's texts are the network's: shown as plain text, never as markup.
QMessageBox* message_box(const std::string& message, const std::string& informative)
{
    auto* box = new QMessageBox();
    box->setIcon(QMessageBox::Information);
    box->setTextFormat(Qt::PlainText);
    box->setText(q(message));
    box->setInformativeText(q(informative));
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

void activate(QMessageBox* box)
{
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace

Runner curl_runner(long long max_file_bytes)
{
    return [max_file_bytes](const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
        // curl only enforces --max-filesize when the size is announced; a file
        // size limit on the process stops an endless answer too (SIGXFSZ,
        // without a core file).
        std::vector<std::string> command { fmt::format("--fsize={}", max_file_bytes), "--core=0", "--", "/usr/bin/curl" };
        command.insert(command.end(), args.begin(), args.end());
        return platform::run_process("/usr/bin/prlimit", command, timeout, static_cast<std::size_t>(FEED_MAX_BYTES));
    };
}

namespace {

Services real_services()
{
    Services s;
    s.curl = curl_runner();
    s.digest = [](const std::filesystem::path& path) { return platform::sha256_file(path); };
    s.download_folder = download_folder;
    s.open_path = [](const std::string& path) { platform::open_path(path); };
    s.alert = [](const std::string& message, const std::string& informative) {
        util::require_main_thread("hilo principal");
        QMessageBox* box = message_box(message, informative);
        box->addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole);
        activate(box);
        box->exec();
    };
    s.ask = [](const Offer& offer) {
        QMessageBox* box = message_box(offer.message, offer.informative);
        QPushButton* download = box->addButton(QStringLiteral("Descargar"), QMessageBox::AcceptRole);
        box->addButton(QStringLiteral("Más tarde"), QMessageBox::RejectRole);
        box->setDefaultButton(download);
        box->setAttribute(Qt::WA_DeleteOnClose, false);
        activate(box);
        box->exec();
        const bool accepted = box->clickedButton() == download;
        delete box;
        return accepted;
    };
    s.in_background = [](std::function<void()> job) { util::in_background(std::move(job)); };
    s.on_main = [](std::function<void()> job) { util::on_main(std::move(job)); };
    return s;
}

std::optional<std::chrono::system_clock::time_point> stamp_time()
{
    std::error_code ec;
    const auto written = std::filesystem::last_write_time(stamp_path(), ec);
    if (ec)
        return std::nullopt;
    return std::chrono::time_point_cast<std::chrono::system_clock::duration>(std::chrono::file_clock::to_sys(written));
}

void touch_stamp()
{
    // Created or truncated; its time is what counts. A failure is ignored.
    std::ofstream(stamp_path(), std::ios::binary | std::ios::trunc);
}

void handle(const std::expected<Feed, std::string>& result, const std::string& feed_url, bool interactive)
{
    if (!result) {
        if (interactive)
            services().alert("No pude buscar actualizaciones", result.error());
        else
            util::log(fmt::format("actualizaciones: {}", result.error()));
        return;
    }
    if (is_newer(result->version, CURRENT_VERSION)) {
        offer(feed_url, *result);
        return;
    }
    if (interactive)
        services().alert("Tienes la versión más reciente", fmt::format("Vistrope {} está al día.", CURRENT_VERSION));
}

} // namespace

Services& services()
{
    static Services s = real_services();
    return s;
}

void reset_services()
{
    services() = real_services();
}

void check_in_background()
{
    util::require_main_thread("hilo principal");
    if (check_due(stamp_time(), std::chrono::system_clock::now()))
        check(false);
}

void check(bool interactive)
{
    util::require_main_thread("hilo principal");
    const std::string feed_url = state::config()->update_feed;
    if (feed_url.empty()) {
        if (interactive)
            services().alert("Las actualizaciones están desactivadas", "Agrega `update_feed` en la configuración.");
        return;
    }
    // The services are copied: a check under way keeps the ones it began with.
    services().in_background([s = services(), feed_url, interactive] {
        auto result = fetch_feed(feed_url, s.curl);
        touch_stamp();
        s.on_main([result = std::move(result), feed_url, interactive] { handle(result, feed_url, interactive); });
    });
}

void offer(const std::string& feed_url, const Feed& feed)
{
    util::require_main_thread("hilo principal");
    if (!services().ask(offer_texts(feed)))
        return;
    const std::string url = resolve_url(feed_url, feed.url);
    services().in_background([s = services(), url, feed] {
        auto result = download(url, feed, s.download_folder(), s.curl, s.digest);
        s.on_main([s, result = std::move(result)] {
            if (result) {
                util::log(fmt::format("actualizaciones: instalador verificado en {}", result->string()));
                s.open_path(result->string());
            } else
                services().alert("La descarga falló", result.error());
        });
    });
}

} // namespace updater
