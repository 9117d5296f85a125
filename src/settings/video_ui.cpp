// The --video-ui self-check: a scripted run of the video side of the program
// on a real recording (trim window, cards, exports), writing pictures and
// exports into a folder and reporting on standard output. Every step runs on
// the main queue.
#include "settings/video_ui.h"

#include "base/config.h"
#include "base/state.h"
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
    const auto report = video::export_gif(video, gif, video::GifSettings { std::nullopt, 15, 800 });
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

void run(const std::string& video, const std::string& folder)
{
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    auto settings = std::make_shared<config::Config>(*state::config());
    settings->save_dir = QString::fromUtf8(folder).toStdString();
    settings->after_capture.copy_to_clipboard = false;
    settings->quick_access_seconds = 0;
    state::set_config(settings);
    util::after(0.5, [video = std::filesystem::path(video), folder = std::filesystem::path(folder)] { step1(video, folder); });
}

} // namespace video_ui
