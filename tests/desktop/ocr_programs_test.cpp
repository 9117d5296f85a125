// Text recognition of real programs' windows (xterm, mousepad) on the test
// desktop, as a user selects them: crops with and without the title bar,
// the border and the desktop beside it, the menu and warning bars, read by
// the program's recogniser and by the tesseract command line; ours may lose
// no word and change no digit the command line reads. And a window-mode text
// capture, whose clipboard text holds the window's lines without its title
// bar and without a tab.
#include "program.h"
#include "qt_wait.h"
#include "real_programs.h"
#include "tesseract_cli.h"
#include "test_util.h"
#include "x_tools.h"

#include "base/state.h"
#include "capture/ocr.h"
#include "capture/overlay.h"
#include "capture/overlay_view.h"
#include "platform/text_recognizer.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> XTERM_LINES = { "Hola mundo desde Vistrope", "Segunda línea de prueba 12345",
                                               "Pedido 7781 sale el 2024-0917 a las 9" };
const std::vector<std::string> MOUSEPAD_LINES = { "Factura 2024-0917", "La entrega tardó 37 ms",
                                                  "Envíe el pago antes del viernes" };

struct Reading {
    std::string text;
    std::size_t missing = 0;        // words of the lines the text lacks
    std::size_t digits_changed = 0; // of them, those that hold a digit
};

Reading compare(std::string text, const std::vector<std::string>& lines)
{
    std::multiset<std::string> read;
    std::istringstream words(text);
    for (std::string w; words >> w;)
        read.insert(w);
    Reading r { std::move(text) };
    for (const std::string& line : lines) {
        std::istringstream in(line);
        for (std::string w; in >> w;) {
            if (const auto it = read.find(w); it != read.end()) {
                read.erase(it);
                continue;
            }
            ++r.missing;
            r.digits_changed += w.find_first_of("0123456789") != std::string::npos;
        }
    }
    return r;
}

// What the command line reads of `crop`, saved at `png`.
std::optional<std::string> command_line(const QImage& crop, const fs::path& png)
{
    const QString path = QString::fromStdString(png.string());
    return crop.save(path, "PNG") ? tesseract_cli(path) : std::nullopt;
}

// Whether the screen shows dark text in this rectangle (the program has
// drawn its lines).
bool shows_text(const QRect& rect)
{
    const QImage screen = screen_now();
    if (screen.isNull())
        return false;
    const QRect r = rect.intersected(screen.rect());
    int dark = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            dark += qGray(screen.pixel(x, y)) < 100;
    return dark > 300;
}

} // namespace

class OcrPrograms : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_file(m_home.path() / ".config/vistrope/config.toml",
                   "[after_capture]\nshow_quick_access = false\nplay_sound = false\n");
        state::reset_for_tests();
        ocr::set_recognizer(nullptr);
        ocr::warm_up();
        std::string command = "printf '%s\\n'";
        for (const std::string& line : XTERM_LINES)
            command += " '" + line + "'";
        ASSERT_TRUE(m_xterm.start_xterm(60, 60, 62, 6, command + "; exec sleep 600"));
        const fs::path doc = m_home.path() / "factura.txt";
        std::string text;
        for (const std::string& line : MOUSEPAD_LINES)
            text += line + "\n";
        write_file(doc, text);
        ASSERT_TRUE(m_mousepad.start("mousepad", { QString::fromStdString(doc.string()) }));
        run("xdotool", { "windowsize", "--sync", QString::fromStdString(m_mousepad.window()), "560", "280", "windowmove",
                         "--sync", QString::fromStdString(m_mousepad.window()), "60", "330" });
        ASSERT_TRUE(m_mousepad.settle());
        const Geometry x = m_xterm.geometry();
        const Geometry m = m_mousepad.geometry();
        ASSERT_TRUE(poll([&] { return shows_text(QRect(x.x, x.y, 400, 50)) && shows_text(QRect(m.x, m.y + 60, 300, 80)); }))
            << "the programs never showed their text";
        pump_for(300);
    }

    void TearDown() override
    {
        overlay::cancel();
        pump_for(50);
        state::reset_for_tests();
    }

    TempHome m_home;
    RealProgram m_xterm;
    RealProgram m_mousepad;
};

TEST_F(OcrPrograms, CropsWithChromeLoseNoWordTheCommandLineReads)
{
    const Geometry x = m_xterm.geometry();
    const Geometry m = m_mousepad.geometry();
    const int rows = 3 * 19 + 12;
    struct Crop {
        const char* name;
        QRect rect;
        const std::vector<std::string>* lines;
    };
    const std::vector<Crop> crops = {
        // With the title bar (openbox's is about 20 pixels over the client).
        { "xterm-barra", QRect(x.x - 1, x.y - 24, 470, 24 + rows), &XTERM_LINES },
        // From 11 pixels left of the window's border, over the desktop.
        { "xterm-borde", QRect(x.x - 12, x.y, 470, rows), &XTERM_LINES },
        { "xterm-cuerpo", QRect(x.x, x.y, 470, rows), &XTERM_LINES },
        // Title bar, menu bar, the warning bar (root) and the text under them.
        { "mousepad-barras", QRect(m.x - 1, m.y - 24, 520, 24 + 150), &MOUSEPAD_LINES },
        { "mousepad-ventana", QRect(m.x, m.y, 520, 150), &MOUSEPAD_LINES },
    };
    const QImage screen = screen_now();
    ASSERT_FALSE(screen.isNull());
    for (const Crop& c : crops) {
        const QImage crop = screen.copy(c.rect);
        const Reading ours = compare(ocr::recognize_sync(crop).text, *c.lines);
        const auto cli_read = command_line(crop, m_home.path() / (std::string(c.name) + ".png"));
        ASSERT_TRUE(cli_read) << "the tesseract command line did not read " << c.name;
        const Reading cli = compare(*cli_read, *c.lines);
        if (const char* keep = std::getenv("VISTROPE_KEEP_PICTURES"))
            crop.save(QString("%1/%2.png").arg(keep, c.name));
        EXPECT_LE(ours.missing, cli.missing) << c.name << ": ours\n" << ours.text << "\ncommand line\n" << cli.text;
        EXPECT_LE(ours.digits_changed, cli.digits_changed) << c.name << ": ours\n" << ours.text;
    }
}

TEST_F(OcrPrograms, WindowTextLeavesTheTitleBarOutAndHoldsNoTab)
{
    overlay::set_roads(overlay::default_roads());
    QGuiApplication::clipboard()->setText("antes");
    overlay::prewarm();
    overlay::begin(overlay::Mode::Window, overlay::Purpose::Text);
    ASSERT_TRUE(wait_until([] { return !overlay::panels().empty() && overlay::panels().front()->on_screen(); }));
    pump_for(300);
    const Geometry x = m_xterm.geometry();
    run_serving("xdotool", { "mousemove", QString::number(x.x + x.w / 2), QString::number(x.y + x.h / 2) });
    pump_for(200);
    run_serving("xdotool", { "click", "1" });
    std::string got;
    ASSERT_TRUE(wait_until([&] {
        got = run_serving("xclip", { "-selection", "clipboard", "-o" }).toStdString();
        return got != "antes" && !got.empty();
    }, 20000)) << "nothing reached the clipboard";
    // The page's lines, and nothing of the title bar before them.
    std::string expected;
    for (const std::string& line : XTERM_LINES)
        expected += (expected.empty() ? "" : "\n") + line;
    EXPECT_EQ(got.substr(0, expected.size()), expected) << got;
    EXPECT_EQ(got.find('\t'), std::string::npos) << got;
}
