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
#include "ui/hud.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
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
    box->setWindowTitle(QStringLiteral("Vistrope"));
    box->setIcon(QMessageBox::Information);
    box->setTextFormat(Qt::PlainText);
    box->setText(q(message));
    box->setInformativeText(q(informative));
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    return box;
}

// The offer: the notes scroll inside a window that fits the screen, so the
// buttons stay in reach however long the notes are.
class OfferDialog final : public QDialog {
public:
    explicit OfferDialog(const Offer& offer)
    {
        setWindowTitle(QStringLiteral("Vistrope"));
        auto* layout = new QVBoxLayout(this);
        auto* title = new QLabel(q(offer.message));
        title->setTextFormat(Qt::PlainText);
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
        layout->addWidget(title);
        auto* text = new QLabel(q(offer.informative));
        text->setTextFormat(Qt::PlainText);
        text->setWordWrap(true);
        text->setTextInteractionFlags(Qt::TextSelectableByMouse);
        text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        auto* scroll = new QScrollArea;
        scroll->setWidget(text);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        layout->addWidget(scroll, 1);
        auto* buttons = new QDialogButtonBox;
        m_download = buttons->addButton(QStringLiteral("Descargar"), QDialogButtonBox::AcceptRole);
        buttons->addButton(QStringLiteral("Más tarde"), QDialogButtonBox::RejectRole);
        m_download->setDefault(true);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        layout->addWidget(buttons);

        // As tall as the text needs, up to most of the screen it opens on.
        const QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
        const int width = std::min(460, area.width() * 9 / 10);
        const int text_width = width - layout->contentsMargins().left() - layout->contentsMargins().right()
            - scroll->verticalScrollBar()->sizeHint().width();
        const int chrome = title->sizeHint().height() + buttons->sizeHint().height() + 3 * layout->spacing()
            + layout->contentsMargins().top() + layout->contentsMargins().bottom();
        const int room = std::max(area.height() * 8 / 10 - chrome, 40);
        scroll->setFixedHeight(std::min(text->heightForWidth(text_width) + 4, room));
        setFixedWidth(width);
        setMaximumHeight(area.height() * 9 / 10);
    }

private:
    QPushButton* m_download = nullptr;
};

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
    s.open_path = [](const std::string& path, std::function<void(const std::string&)> failed) {
        platform::open_path(path, std::move(failed));
    };
    s.alert = [](const std::string& message, const std::string& informative) {
        util::require_main_thread("hilo principal");
        // What the user is told goes to the log too, as a toast's text does.
        util::log(fmt::format("aviso: {}: {}", message, informative));
        QMessageBox* box = message_box(message, informative);
        box->addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole);
        activate(box);
        box->exec();
    };
    s.alert_with_folder = [](const std::string& message, const std::string& informative) {
        util::require_main_thread("hilo principal");
        util::log(fmt::format("aviso: {}: {}", message, informative));
        QMessageBox* box = message_box(message, informative);
        QPushButton* show = box->addButton(QStringLiteral("Mostrar en la carpeta"), QMessageBox::ActionRole);
        box->setDefaultButton(box->addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole));
        activate(box);
        box->exec();
        return box->clickedButton() == show;
    };
    s.reveal = [](const std::filesystem::path& file, std::function<void(const std::string&)> failed) {
        platform::reveal(file, [failed = std::move(failed)](const std::string& why) {
            util::log(why);
            failed(why);
        });
    };
    s.toast = [](const std::string& text) { hud::toast("checkmark.circle", text, 2.0); };
    s.ask = [](const Offer& offer) {
        util::require_main_thread("hilo principal");
        // The notes may be long: the log keeps the offer's first line.
        util::log(fmt::format("aviso: {}", offer.message));
        OfferDialog dialog(offer);
        dialog.show();
        dialog.raise();
        dialog.activateWindow();
        return dialog.exec() == QDialog::Accepted;
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
        if (auto fit = offerable(*result, feed_url); !fit) {
            if (interactive)
                services().alert("No pude buscar actualizaciones", fit.error());
            else
                util::log(fmt::format("actualizaciones: {}", fit.error()));
            return;
        }
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

std::string downloaded_text(const std::filesystem::path& installer)
{
    const std::string folder = installer.parent_path().filename().string();
    return folder.empty() ? std::string("Descargado") : fmt::format("Descargado en {}", folder);
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
                // Said where it is first; when no program takes a package,
                // the user is told and offered its folder.
                s.toast(downloaded_text(*result));
                s.open_path(result->string(), [s, file = *result](const std::string&) {
                    if (!s.alert_with_folder(downloaded_text(file),
                            fmt::format("Ningún programa abrió {}. Instálalo desde su carpeta.", file.filename().string())))
                        return;
                    // The button must not do nothing: when neither the file
                    // manager nor an opener shows the folder, say so and where it is.
                    s.reveal(file, [s, file](const std::string& why) {
                        s.on_main([s, file, why] {
                            s.alert("No pude mostrar la carpeta",
                                fmt::format("{}.\n\nEl instalador está en {}", why, file.parent_path().string()));
                        });
                    });
                });
            } else
                s.alert("La descarga falló", result.error());
        });
    });
}

} // namespace updater
