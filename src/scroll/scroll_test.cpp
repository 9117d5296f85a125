// The scripted end-to-end run of `--scroll-test`: a window of the program's
// own with fixed bands around a long document, a scrolling capture of it
// started through the selection overlay, scrolled by the wheel (then by
// itself) or in code, and the delivered file's height compared with the
// whole document's.
#include "scroll/scroll_test.h"

#include "scroll/scroll_session.h"

#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "base/publish.h"
#include "platform/screens.h"
#include "capture/overlay.h"
#include "platform/panels.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <fmt/format.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

namespace scroll {

namespace {

constexpr std::array<const char*, 20> WORDS = { "captura", "pantalla", "desplazamiento", "costura", "invisible",
    "ventana", "imagen", "fila", "cuadro", "región", "borde", "texto", "página", "línea", "prueba", "píxel",
    "archivo", "carpeta", "color", "tamaño" };
constexpr std::array<const char*, 6> COLOURS = { "#1d1d1f", "#0a5bd3", "#b4232c", "#1f7a3a", "#7a3fb0", "#9a6400" };

struct TestWindow {
    std::unique_ptr<QWidget> window;
    QTextBrowser* text = nullptr;
};
TestWindow g_window;
bool g_ui_shot = false;

QWidget* band(QWidget* parent, QRect at, QColor colour, const QString& text)
{
    auto* b = new QWidget(parent);
    b->setGeometry(at);
    b->setAutoFillBackground(true);
    QPalette p = b->palette();
    p.setColor(QPalette::Window, colour);
    b->setPalette(p);
    auto* label = new QLabel(text, b);
    QFont f = QApplication::font();
    f.setPixelSize(14);
    f.setWeight(QFont::DemiBold);
    label->setFont(f);
    label->setStyleSheet("color: white; background: transparent;");
    label->adjustSize();
    label->move(16, (at.height() - label->height()) / 2);
    return b;
}

double document_height(const QTextBrowser& t)
{
    return t.verticalScrollBar()->maximum() + t.viewport()->height();
}

void report(std::optional<std::filesystem::path> file)
{
    const QScreen* main = QGuiApplication::primaryScreen();
    const double scale = main ? main->devicePixelRatio() : 2.0;
    const double doc = g_window.text ? document_height(*g_window.text) : 0;
    const double expected = scale * (doc + 52 + 30);
    std::string measured;
    if (file)
        if (auto h = png_height(*file))
            measured = std::to_string(*h);
    util::log(fmt::format("prueba: resultado {} con alto {} px; esperado {} px (documento entero)",
        file ? file->string() : std::string("ninguno"), measured, expected));
    // The window goes before the application object does.
    g_window.text = nullptr;
    g_window.window.reset();
    QCoreApplication::exit(file ? 0 : 1);
}

// Why no file can be written into the folder, or nothing when one can: a
// file of ours is made there and removed.
std::optional<std::string> unwritable(const std::filesystem::path& folder)
{
    const std::filesystem::path probe = folder / fmt::format(".vistrope-prueba-{}", ::getpid());
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::string(std::strerror(errno));
    ::close(fd);
    ::unlink(probe.c_str());
    return std::nullopt;
}

void snapshot(const std::filesystem::path& folder, QWidget* panel, const char* name)
{
    if (!panel)
        return;
    capture::capture_window(static_cast<std::uint32_t>(panel->winId()), false,
        [folder, name = std::string(name)](std::optional<QImage> image) {
            if (!image)
                return;
            const auto bytes = output::encode(*image, 1.0);
            const std::filesystem::path path = folder / (name + ".png");
            if (auto written = publish::write_output(path, bytes); !written)
                util::log(fmt::format("prueba: {}", written.error()));
            else
                util::log(fmt::format("prueba: {}", path.string()));
        });
}

void wait_for_result(std::filesystem::path folder, std::set<std::string> before, Clock::time_point started)
{
    if (Session* s = live(); s && s->frames >= 25 && !g_ui_shot) {
        g_ui_shot = true;
        QWidget* capsule = s->ui.capsule.get();
        QWidget* preview = s->ui.preview.get();
        capture::refresh([folder, capsule = QPointer<QWidget>(capsule), preview = QPointer<QWidget>(preview)](capture::Content) {
            snapshot(folder, capsule, "capsula");
            snapshot(folder, preview, "miniatura");
        });
    }
    const auto found = new_capture(folder, before);
    if (Clock::now() - started < std::chrono::seconds(91)) {
        if (found)
            util::after(1, [found] { report(found); });
        else
            util::after(0.5, [folder, before = std::move(before), started] { wait_for_result(folder, before, started); });
        return;
    }
    util::log("prueba: se agotó el tiempo");
    if (live())
        cancel();
    util::after(1, [found] { report(found); });
}

void scroll_in_code()
{
    if (!g_window.text) {
        util::after(1, [] { finish(); });
        return;
    }
    QScrollBar* bar = g_window.text->verticalScrollBar();
    const int next = std::min(bar->value() + 90, bar->maximum());
    bar->setValue(next);
    if (next >= bar->maximum()) {
        util::after(1, [] { finish(); });
        return;
    }
    util::after(1.0 / 15, scroll_in_code);
}

void run(std::filesystem::path folder, std::set<std::string> before)
{
    const QRect frame = g_window.window->geometry();
    const double h = platform::primary_height();
    const platform::RectF global = platform::rect_from_top_left(
        { double(frame.x()), double(frame.y()), double(frame.width()), double(frame.height()) }, h);
    util::log(fmt::format("prueba: ventana ({}, {}, {}, {}), Accesibilidad={}", global.x, global.y, global.w, global.h,
        services().accessibility_trusted()));
    overlay::begin(overlay::Mode::Area, overlay::Purpose::Scroll);
    const platform::Screen main = platform::screens().front();
    util::after(0.3, [global, main] {
        overlay::debug_finish({ global.x - main.frame.x, global.y - main.frame.y, global.w, global.h });
    });
    util::after(0.8, [] {
        if (Session* s = live(); s && services().accessibility_trusted())
            services().post_scroll(s->screen_rect, -30);
        util::after(0.3, [] {
            const bool reached = g_window.text && g_window.text->verticalScrollBar()->value() > 0;
            util::log(fmt::format("prueba: la rueda sintética {}", reached ? "llegó a la ventana" : "no llegó; desplazo por código"));
            if (Session* s = live(); s && reached)
                set_auto(s->id, true);
            else
                scroll_in_code();
        });
    });
    wait_for_result(folder, std::move(before), Clock::now());
}

} // namespace

std::string test_document()
{
    std::string html = "<html><head><meta charset=\"utf-8\"></head><body style=\"font-family: -apple-system, Helvetica; "
                       "font-size: 14px\">\n";
    std::uint64_t x = 0x2545F4914F6CDD1Dull;
    for (int i = 1; i <= 240; ++i) {
        if (i % 30 == 1)
            html += fmt::format("<h2>Sección {}</h2>\n", i / 30 + 1);
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const std::uint64_t n = x % 14 + 3;
        std::string words;
        for (std::uint64_t k = 0; k < n; ++k) {
            if (k)
                words += ' ';
            words += WORDS[(7 * k + (x >> ((3 * k) % 64))) % 20];
        }
        html += fmt::format("<p style=\"color: {}\"><b>Línea {:03}</b> — {}</p>\n", COLOURS[(x >> 40) % 6], i, words);
        if (i % 17 == 0)
            html += "<hr>\n";
    }
    html += "<p><b>FIN DEL DOCUMENTO</b></p></body></html>\n";
    return html;
}

std::optional<std::uint32_t> png_height(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char head[24] {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head))
        return std::nullopt;
    static constexpr unsigned char SIGNATURE[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
    if (!std::equal(SIGNATURE, SIGNATURE + 8, head) || std::string_view(reinterpret_cast<char*>(head + 12), 4) != "IHDR")
        return std::nullopt;
    return std::uint32_t(head[20]) << 24 | std::uint32_t(head[21]) << 16 | std::uint32_t(head[22]) << 8 | head[23];
}

std::set<std::string> capture_names(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".png" && name.starts_with("Vistrope "))
            names.insert(name);
    }
    return names;
}

std::optional<std::filesystem::path> new_capture(const std::filesystem::path& folder, const std::set<std::string>& before)
{
    // A file an earlier run left here is no answer to this one.
    for (const std::string& name : capture_names(folder))
        if (!before.count(name))
            return folder / name;
    return std::nullopt;
}

void scroll_test(const std::string& folder_text)
{
    const std::filesystem::path folder(folder_text);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (const auto why = unwritable(folder)) {
        // Nothing could be delivered there: the run would only wait for its time-out.
        util::log(fmt::format("prueba: no puedo escribir en {}: {}", folder.string(), *why));
        util::after(0, [] { QCoreApplication::exit(1); });
        return;
    }
    std::set<std::string> before = capture_names(folder);
    // A result that could not be written ends the run at once, with its reason.
    output::set_delivered_listener([](const output::Delivered& d) {
        if (d.kind != output::Kind::Scrolling || !d.save_error)
            return;
        util::log("prueba: no pude guardar el resultado: " + *d.save_error);
        if (live())
            cancel();
        report(std::nullopt);
    });

    auto settings = std::make_shared<config::Config>(*state::config());
    settings->save_dir = folder.string();
    settings->after_capture.copy_to_clipboard = false;
    settings->after_capture.play_sound = false;
    settings->after_capture.show_quick_access = std::getenv("VISTROPE_SCROLL_QUICK") != nullptr;
    state::set_config(settings);
    set_include_self(true);

    auto window = std::make_unique<QWidget>();
    platform::make_panel(window.get(), 1500, platform::Mouse::Accepts);
    const platform::Screen main = platform::screens().front();
    const platform::RectF v = main.visible_frame;
    const platform::RectF content { v.x + 120, std::max(v.y + v.h - 220 - 560, v.y), 620, 560 };
    const platform::RectF top_left = platform::rect_to_top_left(content, platform::primary_height());
    window->setGeometry(int(std::lround(top_left.x)), int(std::lround(top_left.y)), 620, 560);
    band(window.get(), QRect(0, 0, 620, 52), QColor::fromRgbF(0.13f, 0.16f, 0.24f), "Encabezado fijo · Vistrope");
    auto* text = new QTextBrowser(window.get());
    text->setGeometry(0, 52, 620, 478);
    text->setFrameShape(QFrame::NoFrame);
    text->setTextInteractionFlags(Qt::NoTextInteraction);
    text->setHtml(QString::fromStdString(test_document()));
    band(window.get(), QRect(0, 530, 620, 30), QColor::fromRgbF(0.3f, 0.18f, 0.4f), "Pie fijo");
    window->show();
    platform::restack_panels();
    g_window.window = std::move(window);
    g_window.text = text;

    util::after(1, [folder, before = std::move(before)] { run(folder, before); });
}

} // namespace scroll
