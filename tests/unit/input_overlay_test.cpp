// The keys-and-clicks overlay: key labels, the pill's text and generations,
// rings, and the monitor's presses reaching the scene.
#include "base/hotkeys.h"
#include "platform/fake/raw_input_fake.h"
#include "platform/panels.h"
#include "record/input_overlay.h"
#include "ui/hud.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBackingStore>
#include <QWindow>
#include <QWidget>

#include <map>

using namespace input_overlay;
using hotkeys::COMMAND;
using hotkeys::CONTROL;
using hotkeys::OPTION;
using hotkeys::SHIFT;

namespace {

std::optional<KeyLabel> label(int code, std::uint32_t mods, std::string chars, std::string unmodified, bool all = false)
{
    return key_label({ code, mods, std::move(chars), std::move(unmodified) }, all);
}

TEST(InputOverlayKeys, LabelsNameModifiersThenTheKey)
{
    EXPECT_EQ(label(21, COMMAND | SHIFT, "$", "4"), (KeyLabel { "Ctrl+Mayús+4", true }));
    EXPECT_EQ(label(123, CONTROL | OPTION, "", ""), (KeyLabel { "Super+Alt+←", true }));
    EXPECT_EQ(label(36, 0, "\r", "\r"), (KeyLabel { "Intro", true }));
    EXPECT_EQ(label(76, 0, "\r", "\r", true), (KeyLabel { "Intro", true }));
    EXPECT_EQ(label(8, COMMAND, "c", "c"), (KeyLabel { "Ctrl+C", true }));
    EXPECT_EQ(label(48, SHIFT, "\t", "\t"), (KeyLabel { "Mayús+Tab", true }));
    EXPECT_EQ(label(53, 0, "\x1b", "\x1b"), (KeyLabel { "Esc", true }));
    // Space: a blank for typed text, even shifted; named with option.
    EXPECT_EQ(label(49, SHIFT, " ", " ", true), (KeyLabel { " ", false }));
    EXPECT_EQ(label(49, OPTION, " ", " ", true), (KeyLabel { "Alt+Espacio", true }));
    EXPECT_EQ(label(49, 0, " ", " ", false), (KeyLabel { "Espacio", true }));
    // Full upper-casing, and characters as typed.
    EXPECT_EQ(label(1, OPTION, "ß", "ß"), (KeyLabel { "Alt+SS", true }));
    EXPECT_EQ(label(41, 0, "ñ", "ñ", true), (KeyLabel { "ñ", false }));
    // Plain keys show nothing without all keys; control characters never.
    EXPECT_EQ(label(0, 0, "a", "a"), std::nullopt);
    EXPECT_EQ(label(0, SHIFT, "A", "a"), std::nullopt);
    EXPECT_EQ(label(-1, 0, "\x7f", "", true), std::nullopt);
    EXPECT_EQ(label(-1, 0, "\xc2\x85", "", true), std::nullopt);
    EXPECT_EQ(label(-1, 0, "", "", true), std::nullopt);
    // A modifier alone names nothing.
    EXPECT_EQ(label(-1, COMMAND, "", ""), std::nullopt);
    EXPECT_EQ(scalar_count("añ😀"), 3u);
}

TEST(InputOverlayKeys, LooksOfPillAndRings)
{
    const auto r = pill_rect({ 500, 100 }, 52);
    EXPECT_EQ(r.x, 500 - 50);
    EXPECT_EQ(r.w, 100);
    EXPECT_EQ(r.y, 100);
    EXPECT_EQ(r.h, 64);
    EXPECT_EQ(ring_look(std::nullopt), (std::pair { 0.35, 1.0 }));
    EXPECT_EQ(ring_look(0.55), (std::pair { 1.0, 0.0 }));
    EXPECT_GT(ring_look(0.2).first, 0.35);
    EXPECT_LT(ring_look(0.2).second, 1.0);
    EXPECT_EQ(pill_opacity(true, std::nullopt), 1.0);
    EXPECT_EQ(pill_opacity(true, 0.25), 0.0);
    EXPECT_EQ(pill_opacity(false, std::nullopt), 0.0);
}

class InputOverlayScene : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto fake = std::make_unique<platform::RawInputFake>();
        m_input = fake.get();
        m_overlay = InputOverlay::start({ 0, 0, 1280, 800 }, { 100, 200, 640, 400 },
            recorder::SHOW_CLICKS | recorder::SHOW_KEYS | recorder::SHOW_ALL_KEYS, 2.0, std::move(fake));
        m_shared = m_overlay->shared();
        m_shared->after = [this](double secs, std::function<void()> job) { m_timers.emplace(std::pair(m_t + secs, m_seq++), std::move(job)); };
        m_shared->now = [this] { return Clock::time_point() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_t)); };
    }
    void TearDown() override
    {
        m_overlay.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void advance(double secs)
    {
        const double end = m_t + secs;
        while (!m_timers.empty() && m_timers.begin()->first.first <= end + 1e-9) {
            auto node = m_timers.extract(m_timers.begin());
            m_t = std::max(m_t, node.key().first);
            node.mapped()();
        }
        m_t = end;
    }
    void type(const std::string& s)
    {
        m_input->press({ -1, 0, s, s });
    }

    platform::RawInputFake* m_input = nullptr;
    std::unique_ptr<InputOverlay> m_overlay;
    std::shared_ptr<Shared> m_shared;
    double m_t = 0;
    int m_seq = 0;
    std::map<std::pair<double, int>, std::function<void()>> m_timers;
};

TEST_F(InputOverlayScene, TypedTextGrowsUntilAPauseALabelOrTwentyFiveScalars)
{
    ASSERT_TRUE(m_overlay->monitoring());
    EXPECT_EQ(m_shared->anchor.x, 100 + 320);
    EXPECT_EQ(m_shared->anchor.y, 200 + 56);
    for (const char* c : { "h", "o", "l", "a" }) {
        type(c);
        advance(0.3);
    }
    EXPECT_EQ(m_shared->scene.text, "hola");
    EXPECT_TRUE(m_shared->scene.pill_shown);
    // Return replaces the text.
    m_input->press({ 36, 0, "\r", "\r" });
    EXPECT_EQ(m_shared->scene.text, "Intro");
    // A pause of 1.2 s hides; the next letter starts afresh.
    advance(1.2);
    EXPECT_EQ(m_shared->scene.text, "");
    EXPECT_TRUE(m_shared->scene.pill_fade_start);
    type("x");
    EXPECT_EQ(m_shared->scene.text, "x");
    // 25 scalars, ñ and an emoji among them: the next key replaces them.
    for (int i = 0; i < 22; ++i)
        type("a");
    type("ñ");
    type("😀");
    ASSERT_EQ(scalar_count(m_shared->scene.text), 25u);
    type("z");
    EXPECT_EQ(m_shared->scene.text, "z");
}

TEST_F(InputOverlayScene, OnlyTheLatestPushHidesThePill)
{
    m_input->press({ 8, COMMAND, "c", "c" });
    advance(1.0);
    m_input->press({ 9, COMMAND, "v", "v" });
    advance(0.3); // the first hide is due here and must not act
    EXPECT_EQ(m_shared->scene.text, "Ctrl+V");
    EXPECT_FALSE(m_shared->scene.pill_fade_start);
    advance(0.9);
    EXPECT_EQ(m_shared->scene.text, "");
    EXPECT_EQ(m_shared->scene.generation, 2u);
}

// Keys typed into a window of ours that has the keyboard are not shown; a
// panel that refuses focus (a toast) never has it, whatever the platform
// reports as focused.
TEST_F(InputOverlayScene, OnlyAFocusableWindowOfOursKeepsTypedKeysFromThePill)
{
    hud::toast("checkmark.circle", "Copiado", 5);
    QCoreApplication::processEvents();
    const auto before = m_shared->scene.generation;
    m_input->press({ 8, COMMAND, "c", "c" });
    EXPECT_EQ(m_shared->scene.generation, before + 1) << "a toast on screen does not hide typed keys";

    QWidget window;
    window.show();
    window.activateWindow();
    for (int i = 0; i < 50 && QGuiApplication::focusWindow() != window.windowHandle(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(QGuiApplication::focusWindow(), window.windowHandle());
    m_input->press({ 9, COMMAND, "v", "v" });
    EXPECT_EQ(m_shared->scene.generation, before + 1) << "keys typed into our own window are not shown";
}

TEST_F(InputOverlayScene, ClicksDrawRingsThatGrowAndGoWheelsDoNot)
{
    m_input->click({ 1, 150, 250 });
    m_input->click({ 3, 10, 10 });
    m_input->click({ 2, 10, 10 });
    m_input->click({ 9, 10, 10 });
    for (int b : { 4, 5, 6, 7 })
        m_input->click({ b, 10, 10 });
    auto& rings = m_shared->scene.rings;
    ASSERT_EQ(rings.size(), 4u);
    EXPECT_TRUE(rings[0]->left);
    EXPECT_EQ(rings[0]->x, 150);
    EXPECT_FALSE(rings[1]->left);
    EXPECT_FALSE(rings[0]->grow_start);
    advance(0);
    EXPECT_TRUE(rings[0]->grow_start);
    advance(0.59);
    EXPECT_EQ(rings.size(), 4u);
    advance(0.01);
    EXPECT_TRUE(rings.empty());
}

// Without a compositor the idle panel is shaped to nothing (it stays
// mapped, so its window keeps its place in the recording's filter); it
// paints each ring where it was clicked, in its button's colour, at its size
// of the moment.
TEST_F(InputOverlayScene, TheIdlePanelShowsNothingAndRingsArePaintedWhereClicked)
{
    QWidget* panel = m_overlay->panel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_FALSE(platform::shape_of(panel)) << "with a compositor the panel is whole";
    m_shared->shaped = true;
    m_shared->changed();
    auto shows_nothing = [panel] {
        const auto shape = platform::shape_of(panel);
        return shape && shape->isEmpty();
    };
    EXPECT_TRUE(shows_nothing());
    m_input->click({ 1, 300, 500 });
    m_input->click({ 3, 900, 200 });
    EXPECT_FALSE(shows_nothing());
    advance(0);
    advance(0.2);
    const QImage shot = panel->grab().toImage();
    const double dpr = shot.devicePixelRatio();
    // Panel points have a bottom-left origin; the picture's, a top-left one.
    auto at = [&](double x, double y) { return shot.pixelColor(int(x * dpr), int((800 - y) * dpr)); };
    const double radius = 42 * ring_look(0.2).first;
    const QColor left_edge = at(300 + radius, 500), right_edge = at(900 - radius, 200);
    EXPECT_GT(left_edge.alpha(), 100);
    EXPECT_GT(left_edge.blue(), left_edge.red() + 60) << "a left click's ring is blue";
    EXPECT_GT(right_edge.alpha(), 100);
    EXPECT_GT(right_edge.red(), right_edge.blue() + 60) << "another button's ring is orange";
    EXPECT_LT(at(300 + radius + 12, 500).alpha(), 10) << "nothing beyond the ring's edge yet";
    EXPECT_LT(at(600, 350).alpha(), 10);
    advance(0.41);
    EXPECT_TRUE(m_shared->scene.rings.empty());
    EXPECT_TRUE(shows_nothing());
    // A key brings it back for the pill, and the pill's fade leaves nothing again.
    m_input->press({ 8, COMMAND, "c", "c" });
    EXPECT_FALSE(shows_nothing());
    advance(1.2);
    for (int i = 0; i < 30 && !shows_nothing(); ++i) {
        advance(0.016);
        m_shared->changed();
    }
    EXPECT_TRUE(shows_nothing());
    EXPECT_TRUE(panel->isVisible());
    // Blank for a while, it gives back its screenful of picture and stays
    // mapped; the next click paints it again.
    QCoreApplication::processEvents();
    ASSERT_EQ(panel->backingStore()->size(), panel->size());
    advance(1.9);
    EXPECT_EQ(panel->backingStore()->size(), panel->size()) << "not at once";
    advance(0.1);
    EXPECT_EQ(panel->backingStore()->size(), QSize(1, 1));
    EXPECT_TRUE(panel->isVisible());
    m_input->click({ 1, 300, 500 });
    advance(0.1);
    panel->repaint();
    EXPECT_EQ(panel->backingStore()->size(), panel->size());
    const QImage again = panel->grab().toImage();
    EXPECT_GT(again.pixelColor(int((300 + 42 * ring_look(0.1).first) * dpr), int(300 * dpr)).alpha(), 100);
}

TEST_F(InputOverlayScene, StoppingEndsMonitorsAndLateStepsDrawNothing)
{
    m_input->press({ 8, COMMAND, "c", "c" });
    m_input->click({ 1, 10, 10 });
    QPointer<QWidget> panel = m_overlay->panel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    m_overlay->stop();
    EXPECT_FALSE(m_input->running());
    EXPECT_FALSE(m_input->click({ 1, 10, 10 }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(panel);
    // The steps still pending run against the model alone.
    advance(2);
    EXPECT_EQ(m_shared->scene.text, "");
    EXPECT_TRUE(m_shared->scene.rings.empty());
}

TEST(InputOverlayStart, OnlyTheAskedMonitorsAndAFailingOneIsLeftOut)
{
    auto fake = std::make_unique<platform::RawInputFake>();
    auto* input = fake.get();
    auto o = InputOverlay::start({ 0, 0, 800, 600 }, { 0, 0, 800, 600 }, recorder::SHOW_CLICKS, 1.0, std::move(fake));
    EXPECT_FALSE(input->press(8, COMMAND, "c")) << "no key handler with clicks only";
    EXPECT_TRUE(input->click({ 1, 5, 5 }));
    o.reset();
    auto failing = std::make_unique<platform::RawInputFake>();
    failing->fail_next_starts(1);
    o = InputOverlay::start({ 0, 0, 800, 600 }, { 0, 0, 800, 600 }, recorder::SHOW_KEYS, 1.0, std::move(failing));
    EXPECT_FALSE(o->monitoring());
    EXPECT_TRUE(o->panel());
    o.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace
