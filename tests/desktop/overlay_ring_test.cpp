// The glass ring in window mode, on the session's real OpenGL: it draws the
// hovered window's edge instead of the blue outline, and the blue outline
// comes back when the glass is unavailable.
#include "qt_wait.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/capture.h"
#include "capture/glass/glass.h"
#include "capture/glass/ring.h"
#include "capture/output.h"
#include "capture/overlay.h"
#include "capture/overlay_view.h"
#include "test_util.h"
#include "x_tools.h"

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <gtest/gtest.h>

using testing_support::pump_for;
using testing_support::screen_now;
using testing_support::wait_until;

namespace {

void xdo(const QStringList& args)
{
    QProcess::execute("xdotool", args);
    pump_for(30);
}

bool outline_blue(QRgb p) { return std::abs(qRed(p) - 86) < 12 && std::abs(qGreen(p) - 151) < 12 && std::abs(qBlue(p) - 245) < 12; }

class OverlayRing : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_home = std::make_unique<testing_support::TempHome>();
        testing_support::write_file(m_home->path() / ".config/vistrope/config.toml",
            "[after_capture]\nshow_quick_access = false\nplay_sound = false\n");
        state::reset_for_tests();
        capture::reset_for_tests(); // the window list is fetched afresh
        overlay::set_roads(overlay::default_roads());
        overlay::prewarm();
        xdo({ "mousemove", "5", "5" });
        m_window.start("xmessage", { "-geometry", "420x260+520+300", "-bg", "#ff8800", "-fg", "#202060", "-center", "anillo" });
        ASSERT_TRUE(m_window.waitForStarted(3000));
        ASSERT_TRUE(wait_until([&] { return window_frame().has_value(); }, 5000));
        pump_for(300);
        capture::reset_for_tests(); // the session lists the window: no content cached before it showed
    }
    void TearDown() override
    {
        overlay::cancel();
        pump_for(50);
        m_window.kill(); // the child this fixture started
        m_window.waitForFinished(2000);
        // The next test must not find this window in the list.
        wait_until([&] { return !window_frame().has_value(); }, 3000);
        glass::reset_for_tests();
        state::reset_for_tests();
    }

    std::optional<platform::RectF> window_frame()
    {
        auto list = capture::backend().window_list();
        if (!list)
            return std::nullopt;
        for (const auto& w : *list)
            if (w.title.find("xmessage") != std::string::npos && w.on_screen)
                return w.frame;
        return std::nullopt;
    }

    // Opens window mode and hovers the test window; answers its top-left rectangle on the screen.
    QRect hover_window()
    {
        overlay::begin(overlay::Mode::Window, overlay::Purpose::Screenshot);
        EXPECT_TRUE(wait_until([] { return !overlay::panels().empty() && overlay::panels().front()->on_screen(); }));
        pump_for(200);
        const platform::RectF f = *window_frame();
        const int top = static_cast<int>(platform::primary_height() - f.y - f.h);
        xdo({ "mousemove", QString::number(static_cast<int>(f.x + f.w / 2)), QString::number(top + static_cast<int>(f.h / 2)) });
        return QRect(static_cast<int>(f.x), top, static_cast<int>(f.w), static_cast<int>(f.h));
    }

    std::unique_ptr<testing_support::TempHome> m_home;
    QProcess m_window;
};

TEST_F(OverlayRing, TheBlueOutlineWithoutTheGlassAndTheRingInItsPlaceOnceTheGlassIsReady)
{
    // As without OpenGL: the glass is never ready, the window gets the blue outline.
    glass::reset_for_tests();
    const QRect w = hover_window();
    VistropeOverlayWindow* view = overlay::panels().front();
    ASSERT_TRUE(wait_until([&] { return view->current_scene().outline.has_value(); }, 5000));
    EXPECT_FALSE(view->ring_enabled());
    pump_for(200);
    QImage shot = screen_now();
    auto count_blue = [&](const QImage& image) {
        int blue = 0;
        for (int x = w.left() + 30; x < w.right() - 30; x += 3)
            for (int y = w.top() - 4; y < w.top() + 8; ++y)
                blue += outline_blue(image.pixel(x, y));
        return blue;
    };
    EXPECT_GT(count_blue(shot), 20);

    // The glass becomes ready: the next render loads the frozen screen and the ring takes over.
    glass::prepare();
    glass::build();
    ASSERT_TRUE(glass::ready());
    view->render();
    ASSERT_TRUE(wait_until([&] { return view->ring_enabled() && !view->ring().strips().empty() && !view->ring().running(); }, 5000))
        << "the ring never came to rest on the window";
    pump_for(150);
    shot = screen_now();
    if (const char* dir = std::getenv("VISTROPE_SHOTS"))
        shot.save(QString(dir) + "/overlay-ring.png");
    EXPECT_EQ(count_blue(shot), 0) << "the blue outline shows while the ring is on";
    int light = 0;
    for (int x = w.left() + 30; x < w.right() - 30; x += 3)
        light += qGray(shot.pixel(x, w.top())) > 200 || qGray(shot.pixel(x, w.top() + 1)) > 200;
    EXPECT_GT(light, 20) << "no light line along the window's top edge";
    // The window's middle is the window itself (under the barely visible dimming).
    const QRgb middle = shot.pixel(w.center().x(), w.top() + 40);
    EXPECT_TRUE(qRed(middle) > 240 && std::abs(qGreen(middle) - 0x88) < 6 && qBlue(middle) < 6) << std::hex << middle;
}

// Run by its own CTest entry with QT_XCB_GL_INTEGRATION=none: Qt then has no
// OpenGL at all, the glass never becomes ready and window mode keeps the
// blue outline.
TEST_F(OverlayRing, WithoutOpenGLInQtTheBlueOutlineStays)
{
    if (qgetenv("QT_XCB_GL_INTEGRATION") != "none")
        GTEST_SKIP() << "needs QT_XCB_GL_INTEGRATION=none";
    glass::reset_for_tests();
    glass::prepare();
    glass::build();
    EXPECT_FALSE(glass::ready());
    const QRect w = hover_window();
    VistropeOverlayWindow* view = overlay::panels().front();
    ASSERT_TRUE(wait_until([&] { return view->current_scene().outline.has_value(); }, 5000));
    EXPECT_FALSE(view->ring_enabled());
    pump_for(200);
    const QImage shot = screen_now();
    int blue = 0;
    for (int x = w.left() + 30; x < w.right() - 30; x += 3)
        for (int y = w.top(); y < w.top() + 8; ++y)
            blue += outline_blue(shot.pixel(x, y));
    EXPECT_GT(blue, 20);
}

} // namespace
