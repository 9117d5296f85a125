#include "settings/selftest.h"

#include "base/publish.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "capture/capture.h"
#include "capture/output.h"
#include "capture/modebar.h"
#include "capture/overlay.h"
#include "cards/pin.h"
#include "cards/quick_access.h"
#include "editor/mod.h"
#include "platform/cursor.h"
#include "platform/screens.h"
#include "platform/workspace.h"

#include <QApplication>

#include <fmt/format.h>

#include <array>
#include <chrono>

namespace selftest {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::optional<ScreenInfo> primary_screen()
{
    const auto all = platform::screens();
    if (all.empty())
        return std::nullopt;
    const platform::Screen& s = all.front();
    return ScreenInfo{ platform::screen_display_id(s), s.scale, s.frame.w, s.frame.h, s.frame };
}

Services real_services()
{
    Services s;
    s.permission = [] { return platform::screen_recording_permission(); };
    s.after = [](double seconds, std::function<void()> job) { util::after(seconds, std::move(job)); };
    s.main_screen = primary_screen;
    s.capture = [](const ScreenInfo& screen, bool exclude_self, std::function<void(std::optional<QImage>)> done) {
        capture::capture_display_with(screen.display_id, std::nullopt, exclude_self,
            [done = std::move(done)](std::optional<QImage> image) { done(std::move(image)); }, screen.scale);
    };
    s.overlay_begin = [](overlay::Mode mode, overlay::Purpose purpose) { overlay::begin(mode, purpose); };
    s.overlay_cancel = [] { overlay::cancel(); };
    s.overlay_choose = [](modebar::Choice choice) { overlay::choose(choice); };
    s.session = []() -> std::optional<std::pair<overlay::Mode, overlay::Purpose>> {
        if (const auto open = overlay::session())
            return std::pair{ open->mode, open->purpose };
        return std::nullopt;
    };
    s.modebar_click = [](modebar::Choice choice) { modebar::debug_click(choice); };
    s.modebar_hover = [](modebar::Choice choice) { modebar::debug_hover(choice); };
    s.overlay_select = [](const platform::RectF& rect, double x, double y) { overlay::debug_select(rect, x, y); };
    s.overlay_hover = [](double x, double y) { overlay::debug_hover(x, y); };
    s.overlay_finish = [](const platform::RectF& rect) { overlay::debug_finish(rect); };
    s.overlay_click_global = [](platform::PointF point) { overlay::debug_click_global(point); };
    s.crosshair_shown = [] { return platform::crosshair_cursor_shown(); };
    s.reveal_newest_card = [] { quick_access::reveal_controls(); };
    s.last_shot = []() -> std::optional<std::pair<QImage, double>> {
        if (auto shot = state::last_shot())
            return std::pair{ shot->image, shot->scale };
        return std::nullopt;
    };
    s.last_shot_key = [] { return state::last_shot_key(); };
    s.pin = [](QImage image, double scale) { pin::pin(std::move(image), scale); };
    s.close_pins = [] { pin::close_all(); };
    s.open_editor = [](QImage image, double scale) { editor::open(std::move(image), scale); };
    s.quit = [](int status) { QApplication::exit(status); };
    return s;
}

void on_main_thread()
{
    util::require_main_thread("cola principal");
}

bool write_bytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty())
        return false;
    const auto written = publish::write_output(path, bytes);
    if (!written)
        util::log(written.error());
    return written.has_value();
}

// Photographs the display with our own windows in and saves it under `name`.
void snapshot(const SharedReport& report, const ScreenInfo& screen, std::string name, std::function<void()> then)
{
    services().capture(screen, false, [report, screen, name = std::move(name), then = std::move(then)](std::optional<QImage> image) {
        if (image) {
            if (write_bytes(report->folder / name, output::encode(*image, screen.scale)))
                note(*report, fmt::format("{} guardado", name));
            else {
                note(*report, fmt::format("no pude guardar {}", name));
                report->failed = true;
            }
        }
        if (then)
            then();
    });
}

ScreenInfo require_screen()
{
    auto screen = services().main_screen();
    if (!screen)
        util::fatal("pantalla");
    return *screen;
}

std::string format_scale(double scale)
{
    // The shortest form that reads back: 1 stays "1", 1.5 stays "1.5".
    std::string text = fmt::format("{}", scale);
    if (text.ends_with(".0"))
        text.resize(text.size() - 2);
    return text;
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

std::string session_text(const std::optional<std::pair<overlay::Mode, overlay::Purpose>>& session)
{
    if (!session)
        return "None";
    return fmt::format("({}, {})", overlay::debug_name(session->first), overlay::debug_name(session->second));
}

std::string list_text(const std::vector<std::string>& names)
{
    std::string out = "[";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i)
            out += ", ";
        out += '"';
        for (const char c : util::escape_controls(names[i])) {
            if (c == '"')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "]";
}

void note(Report& report, std::string line)
{
    on_main_thread();
    util::log(line);
    report.lines.push_back(std::move(line));
}

void finish(const Report& report)
{
    on_main_thread();
    std::string text;
    for (const auto& line : report.lines)
        text += line + "\n";
    const auto written = publish::write_output(report.folder / "report.txt",
        { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() });
    if (!written)
        util::log(written.error());
    services().quit(report.failed || !written ? 1 : 0);
}

void schedule(const std::filesystem::path& folder)
{
    on_main_thread();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    auto report = std::make_shared<Report>(Report{ folder, {}, false });
    services().after(1.5, [report] { start(report); });
}

void start(SharedReport report)
{
    on_main_thread();
    if (!services().permission()) {
        note(*report, "SIN PERMISO de Grabación de pantalla");
        report->failed = true;
        finish(*report);
        return;
    }
    // For the rest of the process: captures land in the run's folder, silently.
    auto settings = std::make_shared<config::Config>(*state::config());
    settings->save_dir = report->folder.string();
    settings->after_capture.play_sound = false;
    state::set_config(std::move(settings));

    const ScreenInfo screen = require_screen();
    note(*report, fmt::format("pantalla {}: {}×{} pt a {}x", screen.display_id, screen.width, screen.height,
                              format_scale(screen.scale)));
    latency_round(report, 0);
}

void latency_round(SharedReport report, int round)
{
    on_main_thread();
    if (round >= 5) {
        overlay_round(report);
        return;
    }
    const ScreenInfo screen = require_screen();
    const auto requested = Clock::now();
    services().capture(screen, true, [report, round, screen, requested](std::optional<QImage> image) {
        const double ms = ms_since(requested);
        if (!image) {
            note(*report, fmt::format("captura #{} falló", round));
            report->failed = true;
        } else {
            note(*report, fmt::format("captura de pantalla completa #{}: {:.1f} ms", round, ms));
            if (round == 0) {
                const auto encoding = Clock::now();
                const auto png = output::encode(*image, screen.scale);
                note(*report, fmt::format("rasterizar + PNG paralelo: {:.1f} ms ({:.2f} MB)", ms_since(encoding),
                                          static_cast<double>(png.size()) / 1'000'000.0));
                write_bytes(report->folder / "full.png", png);
            }
        }
        latency_round(report, round + 1);
    });
}

void overlay_round(SharedReport report)
{
    on_main_thread();
    Services& s = services();
    for (int n = 0; n < 3; ++n) {
        const auto t = Clock::now();
        s.overlay_begin(overlay::Mode::Area, overlay::Purpose::Screenshot);
        note(*report, fmt::format("selector mostrado #{} en {:.1f} ms", n, ms_since(t)));
        if (n < 2)
            s.overlay_cancel();
    }

    using modebar::Choice;
    std::string records;
    for (const Choice choice : { Choice::Window, Choice::Text, Choice::Record, Choice::Scrolling, Choice::Area }) {
        s.overlay_choose(choice);
        if (!records.empty())
            records += ", ";
        records += fmt::format("{}→{}", modebar::debug_name(choice), session_text(s.session()));
    }
    note(*report, fmt::format("barra de modos: {}", records));

    s.modebar_click(Choice::Window);
    const std::string clicked = session_text(s.session());
    s.overlay_choose(Choice::Area);
    note(*report, fmt::format("clic en «Ventana» de la barra: {}", clicked));

    const ScreenInfo screen = require_screen();
    const platform::RectF selection{ 0.25 * screen.width, 0.3 * screen.height, 0.4 * screen.width, 0.35 * screen.height };
    const double px = selection.x + 40, py = selection.y + selection.h - 22;

    s.after(0.6, [report, screen, selection, px, py] {
        Services& s = services();
        const auto crosshair = s.crosshair_shown();
        note(*report, fmt::format("cursor de cruz en el selector: {}", crosshair && *crosshair ? "sí" : "NO"));
        s.overlay_select(selection, px, py);
        s.modebar_hover(modebar::Choice::Fullscreen);
        s.after(0.3, [report, screen, selection] {
            snapshot(report, screen, "overlay.png", [report, screen, selection] {
                Services& s = services();
                s.overlay_choose(modebar::Choice::Window);
                const auto t = Clock::now();
                s.overlay_hover(screen.width / 2, screen.height / 2);
                note(*report, fmt::format("ventana resaltada en {:.0f} µs", ms_since(t) * 1000.0));
                s.after(0.3, [report, screen, selection] {
                    snapshot(report, screen, "overlay-ventana.png", [report, selection] {
                        Services& s = services();
                        s.overlay_choose(modebar::Choice::Area);
                        s.overlay_finish(selection);
                        note(*report, "selección terminada; esperando el archivo");
                        after_capture(report);
                    });
                });
            });
        });
    });
}

void after_capture(SharedReport report)
{
    on_main_thread();
    const ScreenInfo screen = require_screen();
    Services& s = services();
    for (const auto& [delay, name] : { std::pair{ 0.03, "flash-despegue.png" }, std::pair{ 0.09, "flash-lente.png" },
                                       std::pair{ 0.17, "flash-vuelo.png" } })
        s.after(delay, [report, screen, name = std::string(name)] { snapshot(report, screen, name, nullptr); });

    s.after(0.6, [report, screen] {
        services().reveal_newest_card();
        services().after(0.4, [report, screen] {
            snapshot(report, screen, "quick_access.png", [report, screen] {
                if (auto shot = services().last_shot())
                    services().pin(shot->first, shot->second);
                services().after(0.4, [report, screen] {
                    snapshot(report, screen, "pin.png", [report, screen] {
                        services().close_pins();
                        if (auto shot = services().last_shot())
                            services().open_editor(shot->first, shot->second);
                        services().after(0.4, [report, screen] {
                            snapshot(report, screen, "editor.png", [report] { window_round(report); });
                        });
                    });
                });
            });
        });
    });
}

void window_round(SharedReport report)
{
    on_main_thread();
    const ScreenInfo screen = require_screen();
    Services& s = services();
    // The shot before this round: the one that is still the last one when
    // the click captured nothing must not be reported as the window.
    const qint64 earlier = s.last_shot_key();
    s.overlay_begin(overlay::Mode::Window, overlay::Purpose::Screenshot);
    s.overlay_click_global({ screen.frame.x + screen.frame.w / 2, screen.frame.y + screen.frame.h / 2 });
    s.after(1.0, [report, earlier] {
        const auto shot = services().last_shot();
        if (shot && services().last_shot_key() != earlier)
            note(*report, fmt::format("ventana con sombra: {}×{} px, bordes vacíos: {}", shot->first.width(),
                                      shot->first.height(), output::trim_transparent(shot->first).has_value()));
        else {
            note(*report, "ventana: no se capturó nada");
            report->failed = true;
        }
        services().after(0.2, [report] {
            std::vector<std::string> names;
            std::error_code ec;
            for (std::filesystem::directory_iterator it(report->folder, ec), end; !ec && it != end; it.increment(ec))
                names.push_back(it->path().filename().string());
            note(*report, fmt::format("capturas guardadas: {}", list_text(names)));
            finish(*report);
        });
    });
}

} // namespace selftest
