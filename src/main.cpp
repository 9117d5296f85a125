// The process entry: the command-line switches, then the tray application.
#include "app/app.h"
#include "app/app_hotkeys.h"
#include "app/desktop_files.h"
#include "app/quit.h"
#include "platform/fake/hot_keys_fake.h"
#include "platform/gpu.h"
#include "platform/screens.h"
#include "platform/url_scheme.h"
#include "capture/ocr.h"
#include "capture/ocr_prepare.h"
#include "editor/selfcheck.h"
#include "settings/prefs.h"
#include "settings/onboarding.h"
#include "settings/selftest.h"
#include "app/switches.h"
#include "base/files.h"
#include "base/publish.h"
#include "base/state.h"
#include "base/util.h"
#include "base/xdg.h"
#include "base/util_queue.h"
#include "record/recorder_check.h"
#include "record/video.h"
#include "settings/video_ui.h"
#include "scroll/scroll_test.h"
#include "ui/language.h"

#include <QApplication>
#include <QFontDatabase>

#include <fmt/format.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

std::unique_ptr<QApplication> make_application(int& argc, char** argv)
{
    // Qt aborts without a display; say what is missing and end plainly.
    if (!platform::display_reachable()) {
        std::fputs("vistrope: no hay pantalla (DISPLAY)\n", stderr);
        std::exit(1);
    }
    auto application = std::make_unique<QApplication>(argc, argv);
    app::install_listeners();
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName("vistrope");
    ui::install_qt_translations();
    app::install_window_icon();
    // Inter where installed, else the desktop's default; sizes in pixels.
    if (QFontDatabase::families().contains("Inter")) {
        QFont font("Inter");
        font.setPixelSize(13);
        QApplication::setFont(font);
    }
    return application;
}

// Tasks that end the process run before the application object exists, so
// --ocr, --gif and --gif-bench work without a display.
bool needs_display(switches::Task task)
{
    using switches::Task;
    return task != Task::Ocr && task != Task::Gif && task != Task::GifBench;
}

// Runs one task; its status. The compiler names any task left out.
int run_task(const switches::Found& found)
{
    using switches::Task;
    switch (found.task) {
    case Task::Ocr:
        // No application object: the shell's tables are not installed.
        platform::set_page_preparation(ocr_prepare::preparation());
        return ocr::cli(found.value);
    case Task::Gif:
        return video::cli_gif(found.args);
    case Task::GifBench:
        return video::cli_gif_bench(found.args);
    case Task::DebugRecorder:
        return recorder::debug_check(found.args.at(0));
    case Task::RecordTest:
        recorder::record_test(found.args.at(0));
        return 0;
    case Task::ScrollTest:
        scroll::scroll_test(found.args.at(0));
        return 0;
    case Task::EditorRender:
        if (auto checked = editor::debug_render(found.args.at(0), found.args.at(1)); !checked) {
            std::fprintf(stderr, "[vistrope] %s\n", checked.error().c_str());
            return 1;
        }
        return 0;
    case Task::PrefsRender: {
        // The check registers its keys in memory: it never takes the desktop's.
        prefs::HotKeyHooks hooks = prefs::hot_key_hooks();
        hooks.keep_in_memory = [] { app::set_hotkey_backend(std::make_unique<platform::HotKeysFake>()); };
        prefs::set_hot_key_hooks(std::move(hooks));
        return prefs::render(found.args.at(0));
    }
    case Task::VideoUi:
        return video_ui::run(found.args.at(0), found.args.at(1));
    case Task::Selftest:
        selftest::schedule(found.args.at(0));
        return 0;
    }
    return 0;
}

// The home a self-check ran in, removed when main returns.
struct SelfCheckHome {
    std::filesystem::path folder;
    ~SelfCheckHome()
    {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
};

// Gives the self-checks among `found` a home of their own and a checked
// output folder each (one made afresh where none was named); 0, or the
// status to end with after saying why.
int prepare_self_checks(std::vector<switches::Found>& found, std::optional<SelfCheckHome>& home)
{
    const auto refuse = [](const std::string& why) {
        std::fprintf(stderr, "vistrope: %s\n", why.c_str());
        return 1;
    };
    for (switches::Found& f : found) {
        if (!switches::is_self_check(f.task) || f.usage)
            continue;
        if (!home) {
            auto made = xdg::isolate_home("vistrope-comprobacion");
            if (!made)
                return refuse(made.error());
            home.emplace(SelfCheckHome { *made });
            // The home starts as a user's who has been through the first run.
            std::error_code ec;
            std::filesystem::create_directories(onboarding::marker_path().parent_path(), ec);
            std::FILE* marker = std::fopen(onboarding::marker_path().c_str(), "w");
            if (marker)
                std::fclose(marker);
        }
        const std::string name = std::string(switches::entry(f.task).name).substr(2);
        std::filesystem::path folder;
        if (std::string* named = switches::output_folder(f)) {
            if (named->empty()) {
                auto made = files::make_private_folder(fmt::format("vistrope-{}", name));
                if (!made)
                    return refuse(made.error());
                *named = made->string();
                std::fprintf(stderr, "vistrope: resultados en %s\n", named->c_str());
            }
            folder = *named;
            if (auto target = publish::output_target(folder, publish::OutputKind::Folder); !target)
                return refuse(target.error());
        } else if (f.task == switches::Task::EditorRender) {
            auto target = publish::output_target(f.args.at(1));
            if (!target)
                return refuse(target.error());
            // Written into a pipe, a device or a descriptor: no folder of
            // ours gets a new file.
            if (target->way == publish::OutputWay::Into)
                continue;
            folder = std::filesystem::path(f.args.at(1)).parent_path();
            if (folder.empty())
                folder = ".";
        } else
            continue;
        if (auto writable = files::check_writable_folder(folder); !writable)
            return refuse(writable.error());
    }
    return 0;
}

// Whether the links a launch handed over all name an action; those that do
// not are only logged here, and the launch ends with an error.
platform::Links known_links(const std::vector<std::string>& urls)
{
    return std::all_of(urls.begin(), urls.end(), [](const std::string& url) { return app::is_known_link(url); })
        ? platform::Links::Known
        : platform::Links::SomeUnknown;
}

} // namespace

int main(int argc, char** argv)
{
    util::require_main_thread("main corre en el hilo principal");
    // The mask the user gave us, before any thread may narrow it for a moment.
    files::remember_creation_mask();
    // The glass effects' question to a child of ours: which GL renderer?
    if (const std::optional<int> status = platform::run_probe_if_asked(argc, argv))
        return *status;
    // Blocks of a megabyte and more (recorded frames, the encoder's pictures,
    // screenshots) get mappings of their own, given back whole when freed.
    // glibc would otherwise raise that limit after the first such block is
    // freed and serve the next ones from the arena of whichever thread asks
    // (grab, writer, encoder threads): hundreds of megabytes stay resident
    // after every recording, more after each.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    // The front's pipe, when it started us and waits to be let go.
    const int front_pipe = platform::take_front_pipe();
    // Copy the arguments before Qt strips the ones it knows.
    const std::vector<std::string> args(argv, argv + argc);
    state::keep_process_arguments(args);
    std::vector<switches::Found> found = switches::search(args);
    // Self-checks run in a home of their own and write where they are told,
    // after proving they can: before anything is read, logged or captured.
    std::optional<SelfCheckHome> own_home;
    if (const int refused = prepare_self_checks(found, own_home))
        return refused;

    // Settings and log that older versions kept in folders of their own
    // under the home folder move to the XDG folders before anything reads or
    // writes them (the first log line included), so nothing the user set is
    // lost.
    for (const std::string& line : xdg::move_old_files())
        util::log(line);

    std::unique_ptr<QApplication> application;
    std::unique_ptr<platform::SingleInstance> instance;
    // Declared after the application object and the instance, so it runs
    // before either goes, on every way out of main: windows, engines and
    // connections are let go while the display and the event loop's objects
    // still exist, and the instance's lock is held until all that is done.
    struct Release {
        bool armed = false;
        std::unique_ptr<platform::SingleInstance>& instance;
        ~Release()
        {
            if (!armed)
                return;
            // Ending: links sent from now on go to the next instance.
            if (instance)
                instance->stop_taking();
            app::release_services();
            state::instance_release() = nullptr;
            instance.reset();
        }
    } release { false, instance };
    // One instance: a second process hands its URLs over and ends.
    const std::vector<std::string> urls = platform::scheme_urls(args);
    platform::SingleInstance::Role role = platform::SingleInstance::Role::Refused;
    bool acquired = false;
    for (const auto& f : found) {
        if (needs_display(f.task) && !application) {
            application = make_application(argc, argv);
            release.armed = true;
        }
        const auto& entry = switches::entry(f.task);
        if (f.usage) {
            std::fprintf(stderr, "%s\n", f.usage->c_str());
            return 2;
        }
        // A self-check that goes on into the application cannot run beside
        // another instance: say so before it starts, rather than end as if
        // it had run.
        if (entry.then == switches::Then::GoOn && !acquired) {
            instance = platform::SingleInstance::acquire(urls, role);
            acquired = true;
            if (role == platform::SingleInstance::Role::Forwarded || role == platform::SingleInstance::Role::ForwardedUnknown) {
                std::fprintf(stderr, "Vistrope ya está abierto; ciérralo para ejecutar %s\n", entry.name);
                return 1;
            }
            if (role == platform::SingleInstance::Role::Refused)
                return 1; // logged by the instance check
        }
        const int status = run_task(f);
        if (entry.then == switches::Then::Exit || status != 0)
            return status;
        if (entry.then == switches::Then::Return)
            return 0;
    }

    if (!application) {
        application = make_application(argc, argv);
        release.armed = true;
    }
    if (!acquired)
        instance = platform::SingleInstance::acquire(urls, role);
    if (role == platform::SingleInstance::Role::Forwarded)
        return 0;
    if (role == platform::SingleInstance::Role::ForwardedUnknown)
        return 1;
    if (role == platform::SingleInstance::Role::Refused)
        return 1;
    platform::tell_front_ready(front_pipe, known_links(urls));
    state::instance_release() = [&instance] { instance.reset(); };
    app::register_on_desktop(QCoreApplication::applicationFilePath().toStdString());

    // A logout's SIGTERM (or SIGINT, SIGHUP) ends like "Salir de Vistrope",
    // and so does every other way out the windows offer.
    app::install_signal_handlers();
    app::install_display_loss_handler();
    state::quit_handler() = [] { app::quit(); };
    auto delegate = app::AppDelegate::create();
    util::on_main([delegate, urls] {
        delegate->did_finish_launching();
        if (!urls.empty())
            delegate->open_urls(urls);
    });
    // The first thing quitting does: links sent from now on go to the next
    // instance, which a launch waits for, and none to this one.
    app::on_quit_begins([&instance] {
        if (instance)
            instance->stop_taking();
    });
    instance->on_urls([delegate](std::vector<std::string> forwarded, std::function<void(platform::Links)> taken) {
        // URLs that arrive while launching wait for it to finish. A request
        // without any is the program started again by hand. The sender hears
        // they were taken only once they have been acted on; a program that
        // is ending by then leaves them to the next.
        util::on_main([delegate, forwarded = std::move(forwarded), taken = std::move(taken)] {
            if (app::quitting())
                return;
            if (forwarded.empty())
                delegate->reopen();
            else
                delegate->open_urls(forwarded);
            taken(known_links(forwarded));
        });
    });
    const int status = QApplication::exec();
    // The delegate, every window and engine, then the instance's socket and
    // lock go in Release, before the application object does.
    return status;
}
