// The self-test's chain on scripted services: what it notes, in which order,
// with which delays, what it leaves in its folder, and the run without
// permission.
#include "settings/selftest.h"

#include "base/state.h"
#include "test_util.h"

#include <QImage>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <map>

using namespace testing_support;

namespace {

class Selftest : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        selftest::reset_services();
        auto& s = selftest::services();
        s.permission = [this] { return m_permission; };
        s.after = [this](double seconds, std::function<void()> job) {
            m_delays.push_back(seconds);
            m_pending.emplace(m_now + seconds, std::move(job));
        };
        s.main_screen = [] {
            return std::optional<selftest::ScreenInfo>(
                selftest::ScreenInfo{ 7, 2.0, 1000, 800, platform::RectF{ 0, 0, 1000, 800 } });
        };
        s.capture = [this](const selftest::ScreenInfo&, bool exclude_self, std::function<void(std::optional<QImage>)> done) {
            m_calls.push_back(exclude_self ? "capture-own-out" : "capture-own-in");
            if (m_failing_captures > 0) {
                --m_failing_captures;
                return done(std::nullopt);
            }
            QImage img(20, 10, QImage::Format_ARGB32);
            img.fill(Qt::blue);
            done(img);
        };
        s.overlay_begin = [this](overlay::Mode mode, overlay::Purpose purpose) {
            m_session = std::pair{ mode, purpose };
            m_calls.push_back(fmt::format("begin {}", overlay::debug_name(mode)));
        };
        s.overlay_cancel = [this] {
            m_session.reset();
            m_calls.push_back("cancel");
        };
        s.overlay_choose = [this](modebar::Choice choice) {
            if (!m_session)
                return;
            using modebar::Choice;
            m_session->first = choice == Choice::Window ? overlay::Mode::Window : overlay::Mode::Area;
            m_session->second = choice == Choice::Text ? overlay::Purpose::Text
                : choice == Choice::Record            ? overlay::Purpose::Record
                : choice == Choice::Scrolling         ? overlay::Purpose::Scroll
                                                      : overlay::Purpose::Screenshot;
        };
        s.session = [this] { return m_session; };
        s.modebar_click = [this](modebar::Choice choice) { selftest::services().overlay_choose(choice); };
        s.modebar_hover = [this](modebar::Choice choice) { m_calls.push_back(fmt::format("hover {}", modebar::debug_name(choice))); };
        s.overlay_select = [this](const platform::RectF& r, double x, double y) {
            m_calls.push_back(fmt::format("select {} {} {} {} at {} {}", r.x, r.y, r.w, r.h, x, y));
        };
        s.overlay_hover = [this](double x, double y) { m_calls.push_back(fmt::format("hover {} {}", x, y)); };
        s.overlay_finish = [this](const platform::RectF&) {
            m_calls.push_back("finish");
            m_session.reset();
            m_last_shot = std::pair{ QImage(30, 20, QImage::Format_ARGB32), 2.0 };
            m_last_shot->first.fill(Qt::red);
        };
        s.overlay_click_global = [this](platform::PointF p) {
            m_calls.push_back(fmt::format("click {} {}", p.x, p.y));
            if (!m_window_captures)
                return;
            m_last_shot = std::pair{ QImage(40, 30, QImage::Format_ARGB32), 2.0 };
            m_last_shot->first.fill(Qt::blue);
        };
        s.crosshair_shown = [] { return std::optional<bool>(); };
        s.reveal_newest_card = [this] { m_calls.push_back("reveal"); };
        s.last_shot = [this] { return m_last_shot; };
        s.last_shot_key = [this] { return m_last_shot ? m_last_shot->first.cacheKey() : 0; };
        s.pin = [this](QImage, double scale) { m_calls.push_back(fmt::format("pin {}", scale)); };
        s.close_pins = [this] { m_calls.push_back("close pins"); };
        s.open_editor = [this](QImage, double) { m_calls.push_back("editor"); };
        s.quit = [this](int status) {
            ++m_quits;
            m_status = status;
        };
    }
    void TearDown() override
    {
        selftest::reset_services();
        state::reset_for_tests();
    }
    // Runs the pending jobs in time order until none is left.
    void run_all()
    {
        while (!m_pending.empty()) {
            auto it = m_pending.begin();
            m_now = it->first;
            auto job = std::move(it->second);
            m_pending.erase(it);
            job();
        }
    }
    std::vector<std::string> report_lines()
    {
        const std::string text = read_file(m_dir.path() / "out/report.txt");
        std::vector<std::string> lines;
        size_t at = 0;
        for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            lines.push_back(text.substr(at, nl - at));
        EXPECT_EQ(at, text.size()) << "every line ends with a line break";
        return lines;
    }
    // Every run of digits becomes one '#': timings differ in width from run to run.
    static std::string without_numbers(std::string line)
    {
        std::string out;
        bool in_number = false;
        for (const char c : line) {
            const bool digit = c >= '0' && c <= '9';
            if (!digit)
                out += c;
            else if (!in_number)
                out += '#';
            in_number = digit;
        }
        return out;
    }

    TempHome m_home;
    TempDir m_dir;
    bool m_permission = true;
    int m_failing_captures = 0;
    int m_quits = 0;
    bool m_window_captures = true; // the window round's click takes a shot
    int m_status = -1;
    double m_now = 0;
    std::multimap<double, std::function<void()>> m_pending;
    std::vector<double> m_delays;
    std::vector<std::string> m_calls;
    std::optional<std::pair<overlay::Mode, overlay::Purpose>> m_session;
    std::optional<std::pair<QImage, double>> m_last_shot;
};

TEST_F(Selftest, WithoutPermissionTheReportHoldsOneLineAndTheProgramQuits)
{
    m_permission = false;
    const auto settings = state::config();
    selftest::schedule(m_dir.path() / "out");
    EXPECT_EQ(m_delays, std::vector<double>{ 1.5 });
    EXPECT_EQ(m_quits, 0) << "nothing happens before the first step";
    run_all();
    EXPECT_EQ(report_lines(), std::vector<std::string>{ "SIN PERMISO de Grabación de pantalla" });
    EXPECT_EQ(m_quits, 1);
    EXPECT_EQ(m_status, 1) << "a run that could not run is no success";
    EXPECT_TRUE(m_calls.empty());
    EXPECT_EQ(state::config(), settings) << "no settings override without a run";
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(m_dir.path() / "out"))
        ++files;
    EXPECT_EQ(files, 1U);
}

TEST_F(Selftest, APictureThatCannotBeWrittenIsNotedAsSuch)
{
    // A folder where the picture should go: the write fails, the run goes on.
    std::filesystem::create_directories(m_dir.path() / "out" / "pin.png");
    selftest::schedule(m_dir.path() / "out");
    run_all();
    EXPECT_EQ(m_quits, 1);
    EXPECT_EQ(m_status, 1);
    const auto lines = report_lines();
    EXPECT_NE(std::ranges::find(lines, "no pude guardar pin.png"), lines.end()) << fmt::format("{}", fmt::join(lines, "\n"));
    EXPECT_EQ(std::ranges::find(lines, "pin.png guardado"), lines.end());
    EXPECT_NE(std::ranges::find(lines, "editor.png guardado"), lines.end());
}

TEST_F(Selftest, AFullRunNotesEveryStepInChainOrderAndSavesItsPictures)
{
    m_failing_captures = 1; // the first latency round
    selftest::schedule(m_dir.path() / "out");
    run_all();
    EXPECT_EQ(m_quits, 1);
    EXPECT_EQ(m_status, 1) << "a capture failed";
    const std::vector<std::string> expected = {
        "pantalla #: #×# pt a #x",
        "captura ## falló",
        "captura de pantalla completa ##: #.# ms",
        "captura de pantalla completa ##: #.# ms",
        "captura de pantalla completa ##: #.# ms",
        "captura de pantalla completa ##: #.# ms",
        "selector mostrado ## en #.# ms",
        "selector mostrado ## en #.# ms",
        "selector mostrado ## en #.# ms",
        "barra de modos: Window→(Window, Screenshot), Text→(Area, Text), Record→(Area, Record), "
        "Scrolling→(Area, Scroll), Area→(Area, Screenshot)",
        "clic en «Ventana» de la barra: (Window, Screenshot)",
        "cursor de cruz en el selector: NO",
        "overlay.png guardado",
        "ventana resaltada en # µs",
        "overlay-ventana.png guardado",
        "selección terminada; esperando el archivo",
        "flash-despegue.png guardado",
        "flash-lente.png guardado",
        "flash-vuelo.png guardado",
        "quick_access.png guardado",
        "pin.png guardado",
        "editor.png guardado",
        "ventana con sombra: #×# px, bordes vacíos: false",
    };
    auto lines = report_lines();
    ASSERT_EQ(lines.size(), expected.size() + 1) << fmt::format("{}", fmt::join(lines, "\n"));
    EXPECT_EQ(lines[0], "pantalla 7: 1000×800 pt a 2x");
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(without_numbers(lines[i]), expected[i]) << lines[i];
    EXPECT_TRUE(lines.back().starts_with("capturas guardadas: [")) << lines.back();
    for (const char* name : { "overlay.png", "overlay-ventana.png", "flash-vuelo.png", "editor.png", "pin.png" })
        EXPECT_NE(lines.back().find(fmt::format("\"{}\"", name)), std::string::npos) << name;
    EXPECT_EQ(lines.back().find("full.png"), std::string::npos) << "round 0 failed, so no full.png";

    // The overlay is driven in the chain's order, at the chain's geometry.
    const std::vector<std::string> overlay_calls = {
        "capture-own-out", "capture-own-out", "capture-own-out", "capture-own-out", "capture-own-out",
        "begin Area", "cancel", "begin Area", "cancel", "begin Area",
        "select 250 240 400 280 at 290 498", "hover Fullscreen", "capture-own-in", "hover 500 400", "capture-own-in",
        "finish",
    };
    ASSERT_GE(m_calls.size(), overlay_calls.size());
    EXPECT_EQ(std::vector<std::string>(m_calls.begin(), m_calls.begin() + static_cast<long>(overlay_calls.size())),
              overlay_calls);
    const std::vector<std::string> tail = { "capture-own-in", "reveal", "capture-own-in", "pin 2", "capture-own-in",
        "close pins", "editor", "capture-own-in", "begin Window", "click 500 400" };
    EXPECT_EQ(std::vector<std::string>(m_calls.end() - static_cast<long>(tail.size()), m_calls.end()), tail);

    // The fixed delays add up to 5.7 s.
    double total = 0;
    for (const double d : m_delays)
        if (d >= 0.2)
            total += d;
    EXPECT_DOUBLE_EQ(total, 1.5 + 0.6 + 0.3 + 0.3 + 0.6 + 0.4 + 0.4 + 0.4 + 1.0 + 0.2);

    // Captures of the run land in its folder, silently; nothing is saved.
    EXPECT_EQ(state::config()->save_dir, (m_dir.path() / "out").string());
    EXPECT_FALSE(state::config()->after_capture.play_sound);
    EXPECT_NE(config::load_from(config::Config::path()).save_dir, (m_dir.path() / "out").string())
        << "the override never reaches the settings file";
}

TEST_F(Selftest, ReportTextsOfSessionsAndFileLists)
{
    EXPECT_EQ(selftest::session_text(std::nullopt), "None");
    EXPECT_EQ(selftest::session_text(std::pair{ overlay::Mode::Window, overlay::Purpose::Scroll }), "(Window, Scroll)");
    EXPECT_EQ(selftest::list_text({}), "[]");
    EXPECT_EQ(selftest::list_text({ "full.png", "a \"b\".png", "c\nd" }), R"(["full.png", "a \"b\".png", "c\x0Ad"])");
}

} // namespace

TEST_F(Selftest, ARunWhereEveryStepWorkedEndsWithStatusZero)
{
    selftest::schedule(m_dir.path() / "out");
    run_all();
    EXPECT_EQ(m_quits, 1);
    EXPECT_EQ(m_status, 0);
    const auto lines = report_lines();
    EXPECT_NE(std::ranges::find(lines, "ventana con sombra: 40×30 px, bordes vacíos: false"), lines.end())
        << fmt::format("{}", fmt::join(lines, "\n"));
}

TEST_F(Selftest, AWindowRoundThatCapturedNothingSaysSoNotTheAreaShot)
{
    m_window_captures = false;
    selftest::schedule(m_dir.path() / "out");
    run_all();
    const auto lines = report_lines();
    EXPECT_NE(std::ranges::find(lines, "ventana: no se capturó nada"), lines.end()) << fmt::format("{}", fmt::join(lines, "\n"));
    EXPECT_TRUE(std::ranges::none_of(lines, [](const std::string& l) { return l.starts_with("ventana con sombra"); }));
    EXPECT_EQ(m_status, 1);
}
