// The --video-ui self-check: a scripted run of the video side of the program
// on a real recording (trim window, cards, exports), writing pictures and
// exports into a folder and reporting on standard output. Every step runs on
// the main queue.
#include "settings/video_ui.h"

#include "base/publish.h"
#include "base/config.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "cards/quick_access.h"
#include "record/video.h"
#include "record/video_editor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>

#include <fmt/format.h>

#include <cstdio>

namespace video_ui {

namespace {

void print(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Whether every step did what it says; the exit status follows it.
bool& failed()
{
    static bool f = false;
    return f;
}

void terminate() { QCoreApplication::exit(failed() ? 1 : 0); }

std::shared_ptr<video_editor::VideoEditor> newest()
{
    return video_editor::editors().empty() ? nullptr : video_editor::editors().back();
}

std::vector<std::string> entry_names(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(QString::fromUtf8(it->path().filename().string()).toStdString());
    return names;
}

void step5(const std::filesystem::path& folder)
{
    print("archivos: " + video_editor::debug_names(entry_names(folder)));
    // What the steps say they wrote must be there.
    for (const char* name : { "vista-rapida.gif", "editor.png", "editor-recorte.png" })
        if (std::error_code ec; !std::filesystem::exists(folder / name, ec)) {
            print(fmt::format("falta {}", (folder / name).string()));
            failed() = true;
        }
    terminate();
}

void step4(QWidget* window, const std::filesystem::path& folder)
{
    video_editor::window_shot(window, folder / "editor-recorte.png", [folder] { util::after(2.0, [folder] { step5(folder); }); });
}

void step3(QWidget* window, std::shared_ptr<video_editor::VideoEditor> editor, const std::filesystem::path& folder)
{
    if (editor)
        editor->export_gif();
    video_editor::debug_begin_trim();
    util::after(1.5, [window, folder] { step4(window, folder); });
}

void step2(QWidget* window, const std::filesystem::path& folder)
{
    const auto& cards = quick_access::cards();
    for (std::size_t i = 0; i < cards.size(); ++i) {
        cards[i]->show_controls(true);
        video_editor::snapshot(cards[i], folder / fmt::format("vista-rapida-{}.png", i));
    }
    video_editor::window_shot(window, folder / "editor.png", [window, folder] {
        print("rango fijado: " + video_editor::debug_range(video_editor::debug_set_range(1.0, 4.0)));
        auto editor = newest();
        if (editor) {
            if (editor->info.has_audio) {
                editor->mute_box->setChecked(true);
                editor->resolution_popup->setCurrentIndex(2);
            }
            editor->export_mp4();
        }
        util::after(1.5, [window, editor, folder] { step3(window, editor, folder); });
    });
}

void step1(const std::filesystem::path& video, const std::filesystem::path& folder)
{
    quick_access::show_video(video);
    const std::filesystem::path gif = folder / "vista-rapida.gif";
    std::expected<video::GifReport, std::string> report = std::unexpected(std::string());
    if (auto written = publish::write_output_with(gif, [&](const std::filesystem::path& file) -> std::expected<void, std::string> {
            report = video::export_gif(video, file, video::GifSettings { std::nullopt, 15, 800 });
            if (!report)
                return std::unexpected(report.error());
            return {};
        });
        !written)
        report = std::unexpected(written.error());
    if (report)
        print(fmt::format("GIF {}×{}: {} cuadros escritos, {} bytes", report->width, report->height, report->frames_written,
            report->bytes));
    else {
        print("GIF falló: " + report.error());
        failed() = true;
    }
    quick_access::show_gif(gif);
    QWidget* window = video_editor::debug_open(video);
    if (!window) {
        print("no pude abrir el editor");
        failed() = true;
        terminate();
        return;
    }
    util::after(2.0, [window, folder] { step2(window, folder); });
}

} // namespace

int run(const std::string& video, const std::string& folder)
{
    namespace fs = std::filesystem;
    // Refused before anything reads it: a FIFO without a writer would block
    // the main thread for good, signals included.
    std::error_code ec;
    if (const auto kind = fs::status(video, ec).type(); kind != fs::file_type::regular) {
        std::fputs(fmt::format("error: no pude leer {}: {}\n", util::escape_controls(video),
                                kind == fs::file_type::not_found ? "no existe" : "no es un archivo normal").c_str(), stderr);
        return 1;
    }
    // The trim window exports beside the video it opened: it opens a link
    // in the run's folder, so every export lands there and the user's video
    // keeps its folder as it was.
    const fs::path target = fs::absolute(fs::path(video), ec);
    fs::path opened = target;
    std::error_code same;
    if (!ec && !fs::equivalent(target.parent_path(), folder, same)) {
        opened = fs::path(folder) / target.filename();
        // Never over a file of the user's: a free name, or the same link an earlier run left.
        std::error_code absent; // a free name is no error
        const auto there = fs::symlink_status(opened, absent);
        if (fs::is_symlink(there) && fs::read_symlink(opened, absent) == target)
            fs::remove(opened, ec);
        else if (fs::exists(there))
            ec = std::make_error_code(std::errc::file_exists);
        if (!ec)
            fs::create_symlink(target, opened, ec);
    }
    if (ec) {
        print(fmt::format("no pude poner el video en {}: {}", folder, ec.message()));
        return 1;
    }
    auto settings = std::make_shared<config::Config>(*state::config());
    settings->save_dir = QString::fromUtf8(folder).toStdString();
    settings->after_capture.copy_to_clipboard = false;
    settings->quick_access_seconds = 0;
    state::set_config(settings);
    util::after(0.5, [opened, folder = fs::path(folder)] { step1(opened, folder); });
    return 0;
}

} // namespace video_ui
