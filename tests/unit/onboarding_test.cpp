// The first-run window offscreen: when it shows at launch, how polling moves
// it between waiting, the relaunch offer and granted, and what its buttons do.
#include "settings/onboarding.h"

#include "base/state.h"
#include "settings/widgets.h"
#include "test_util.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <fmt/format.h>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

class Onboarding : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        onboarding::reset_services();
        auto& s = onboarding::services();
        s.permission = [this] { return m_permission; };
        s.probe = [this](std::function<void(bool)> done) {
            ++m_probes;
            done(m_probe_answer);
        };
        s.refresh = [this] { ++m_refreshes; };
        s.after = [this](double seconds, std::function<void()> job) {
            EXPECT_EQ(seconds, 1.0);
            m_scheduled.push_back(std::move(job));
        };
        s.start_detached = [this](const std::string& program, const std::vector<std::string>& args) {
            m_events.push_back("start " + program);
            m_started_args = args;
            if (m_start_fails)
                return std::expected<void, std::string>(std::unexpected(std::string("sin memoria")));
            return std::expected<void, std::string>();
        };
        s.release_instance = [this] { m_events.push_back("release"); };
        s.quit = [this] { m_events.push_back("quit"); };
        s.show_preferences = [this] { m_events.push_back("prefs"); };
        s.arguments = [this] { return m_args; };
    }
    void TearDown() override
    {
        onboarding::reset();
        onboarding::reset_services();
        state::reset_for_tests();
    }
    // Runs the poll step scheduled last; false when none was scheduled.
    bool poll()
    {
        if (m_scheduled.empty())
            return false;
        auto job = std::move(m_scheduled.back());
        m_scheduled.clear();
        job();
        return true;
    }
    static bool shown(QWidget* w) { return !w->isHidden(); }

    TempHome m_home;
    bool m_permission = true;
    bool m_probe_answer = false;
    bool m_start_fails = false;
    int m_probes = 0;
    int m_refreshes = 0;
    std::vector<std::function<void()>> m_scheduled;
    std::vector<std::string> m_events;
    std::vector<std::string> m_started_args;
    std::vector<std::string> m_args = { "vistrope" };
};

TEST_F(Onboarding, FirstLaunchShowsItGreenAndEmpezarEndsTheFirstRun)
{
    m_args = { "vistrope", "--selftest", "/tmp/x" };
    onboarding::show_if_needed();
    EXPECT_FALSE(onboarding::ui()) << "a self-test run never shows it";

    m_args = { "vistrope" };
    onboarding::show_if_needed();
    auto u = onboarding::ui();
    ASSERT_TRUE(u);
    EXPECT_TRUE(u->window->isVisible());
    EXPECT_EQ(u->window->windowTitle().toStdString(), "Bienvenido a Vistrope");
    EXPECT_EQ(u->status_label->text().toStdString(), "Permiso concedido. ¡Todo listo!");
    EXPECT_EQ(u->status_label->palette().color(QPalette::WindowText), widgets::colors().green);
    EXPECT_FALSE(shown(u->actions));
    EXPECT_FALSE(shown(u->relaunch_button));
    EXPECT_FALSE(shown(u->restart_note));
    EXPECT_FALSE(shown(u->permission_step)) << "nothing to ask for: no permission step";
    // Centred on the screen as it shows, without the step it leaves out.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect frame = u->window->geometry();
        EXPECT_LE(std::abs(frame.center().y() - screen->availableGeometry().center().y()), 4)
            << frame.y() << " + " << frame.height() << " in " << screen->availableGeometry().height();
    }

    // "Empezar" writes the empty marker, stops polling and closes the window.
    const auto generation = onboarding::poll_generation();
    u->start_button->click();
    EXPECT_TRUE(std::filesystem::exists(onboarding::marker_path()));
    EXPECT_EQ(std::filesystem::file_size(onboarding::marker_path()), 0U);
    EXPECT_EQ(onboarding::marker_path(), m_home.path() / ".config/vistrope/onboarded");
    EXPECT_FALSE(u->window->isVisible());
    EXPECT_GT(onboarding::poll_generation(), generation);
    EXPECT_FALSE(poll() && m_probes > 0);
    QApplication::processEvents(); // the slot empties a turn after the close
    u.reset();
    EXPECT_FALSE(onboarding::ui());

    // Next launch: the first run is over and captures are allowed.
    onboarding::show_if_needed();
    EXPECT_FALSE(onboarding::ui());
    // Without the permission it still shows.
    m_permission = false;
    onboarding::show_if_needed();
    ASSERT_TRUE(onboarding::ui());
    EXPECT_EQ(onboarding::ui()->status_label->text().toStdString(), "Esperando el permiso…");
    EXPECT_TRUE(shown(onboarding::ui()->permission_step));
}

TEST_F(Onboarding, PollingOffersTheRelaunchAtAttemptFourAndNoticesTheGrantOnce)
{
    m_permission = false;
    onboarding::show();
    auto u = onboarding::ui();
    ASSERT_TRUE(u);
    EXPECT_TRUE(shown(u->grant_button));
    EXPECT_FALSE(shown(u->relaunch_button));
    const int waiting_height = u->window->height();
    for (int attempt = 0; attempt <= 3; ++attempt) {
        ASSERT_TRUE(poll());
        EXPECT_FALSE(shown(u->relaunch_button)) << attempt;
    }
    ASSERT_TRUE(poll()); // attempt 4
    EXPECT_TRUE(shown(u->relaunch_button));
    EXPECT_TRUE(shown(u->restart_note));
    EXPECT_GT(u->window->height(), waiting_height) << "the window grows to show the offer";
    EXPECT_EQ(m_probes, 5);

    // The probe finds content: green, one refresh, and polling goes on.
    m_probe_answer = true;
    ASSERT_TRUE(poll());
    EXPECT_EQ(u->status_label->text().toStdString(), "Permiso concedido. ¡Todo listo!");
    EXPECT_FALSE(shown(u->actions));
    EXPECT_EQ(m_refreshes, 1);
    ASSERT_TRUE(poll());
    ASSERT_TRUE(poll());
    EXPECT_EQ(m_refreshes, 1) << "the grant is noticed once";
    EXPECT_LT(u->window->height(), waiting_height + 1);

    // Closing stops the chain: the step already scheduled does nothing.
    u->window->close();
    const int probes = m_probes;
    EXPECT_TRUE(poll());
    EXPECT_FALSE(poll());
    EXPECT_EQ(m_probes, probes);
}

TEST_F(Onboarding, ShowingAgainStartsANewGenerationAndTheOldOneStops)
{
    m_permission = false;
    onboarding::show();
    auto old_step = std::move(m_scheduled.back());
    m_scheduled.clear();
    onboarding::show();
    old_step();
    EXPECT_TRUE(m_scheduled.size() == 1) << "only the new generation's step is pending";
    EXPECT_EQ(m_probes, 0);
}

TEST_F(Onboarding, GrantAsksNothingButShowsTheRelaunchAtOnce)
{
    m_permission = false;
    onboarding::show();
    auto u = onboarding::ui();
    u->grant_button->click();
    EXPECT_TRUE(shown(u->relaunch_button));
    EXPECT_TRUE(m_events.empty()) << "nothing is started or opened";
    u->preferences_button->click();
    EXPECT_EQ(m_events, std::vector<std::string>{ "prefs" });
    EXPECT_TRUE(u->window->isVisible()) << "the first-run window stays open";
}

TEST_F(Onboarding, RelaunchStartsTheSameExecutableThenLetsGoOfTheInstanceAndQuits)
{
    const auto args = onboarding::relaunch_arguments("/opt/v t/vistrope");
    EXPECT_EQ(args, (std::vector<std::string>{ "-c", "sleep 0.7; \"$0\" >/dev/null 2>&1 &", "/opt/v t/vistrope" }));

    m_permission = false;
    onboarding::show();
    onboarding::ui()->needs_restart = true;
    m_start_fails = true;
    onboarding::handler::relaunch();
    EXPECT_EQ(m_events, std::vector<std::string>{ "start /bin/sh" }) << "a failed start keeps this process";
    m_start_fails = false;
    m_events.clear();
    onboarding::ui()->relaunch_button->click();
    EXPECT_EQ(m_events, (std::vector<std::string>{ "start /bin/sh", "release", "quit" }));
    ASSERT_EQ(m_started_args.size(), 3U);
    EXPECT_EQ(m_started_args[2], std::filesystem::canonical("/proc/self/exe").string());

    // A binary an upgrade replaced is started from its path; nothing to start, no quit.
    EXPECT_EQ(onboarding::relaunch_executable("/usr/bin/vistrope (deleted)"), "/usr/bin/vistrope");
    EXPECT_EQ(onboarding::relaunch_executable("/opt/v t/vistrope"), "/opt/v t/vistrope");
    EXPECT_EQ(onboarding::relaunch_executable(""), std::nullopt);
    EXPECT_EQ(onboarding::relaunch_executable(" (deleted)"), std::nullopt);
}

TEST_F(Onboarding, RenderWritesTheThreeStates)
{
    TempDir dir;
    EXPECT_TRUE(onboarding::render(dir.path(), "light"));
    for (const char* state : { "pendiente", "reiniciar", "listo" }) {
        const auto file = dir.path() / fmt::format("onboarding-{}-light.png", state);
        ASSERT_TRUE(std::filesystem::exists(file)) << state;
        QImage img(QString::fromStdString(file.string()));
        EXPECT_GE(img.width(), 540) << state;
    }
    const QImage waiting(QString::fromStdString((dir.path() / "onboarding-pendiente-light.png").string()));
    const QImage relaunch(QString::fromStdString((dir.path() / "onboarding-reiniciar-light.png").string()));
    EXPECT_GT(relaunch.height(), waiting.height());
    EXPECT_FALSE(onboarding::render(dir.path() / "file.png" / "sub", "light")) << "an unwritable folder fails";
}

} // namespace
