// The confirmation flash: its panel's life and what it paints, offscreen.
#include "capture/flash.h"
#include "capture/flash_paint.h"

#include "base/config.h"
#include "base/state.h"
#include "platform/accessibility.h"

#include "qt_wait.h"

#include <QBackingStore>
#include <QConicalGradient>
#include <QElapsedTimer>
#include <QPainter>
#include <QWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace {

using testing_support::pump_for;
using testing_support::wait_until;

// A plain mid-grey picture with a dark cross, so the sheen's colours stand out.
QImage picture(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(qRgb(90, 90, 90));
    for (int x = 0; x < w; ++x)
        image.setPixel(x, h / 2, qRgb(10, 10, 10));
    return image;
}

flash::Origin origin(double x, double y, double w, double h, bool with_image = true)
{
    flash::Origin o;
    o.rect = { x, y, w, h };
    if (with_image)
        o.image = picture(static_cast<int>(w), static_cast<int>(h));
    return o;
}

class Flash : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        set_flash(true);
        platform::set_accessibility({});
        flash::prewarm();
    }
    void TearDown() override
    {
        // Let every pending close run so the next test starts with a hidden panel.
        wait_until([] { return !flash::panel()->isVisible(); }, 2000);
        platform::set_accessibility({});
        state::reset_for_tests();
    }
    static void set_flash(bool on)
    {
        auto c = std::make_shared<config::Config>();
        c->after_capture.flash = on;
        state::set_config(std::move(c));
    }
};

TEST_F(Flash, OffOrTooSmallShowsNothingAndSnapshotAnswersNone)
{
    ASSERT_NE(flash::panel(), nullptr);
    const auto before = flash::generation();
    set_flash(false);
    flash::play(origin(100, 100, 200, 100), std::nullopt);
    EXPECT_EQ(flash::landing_delay(origin(100, 100, 200, 100)), std::nullopt);
    bool called = false;
    std::optional<flash::Origin> got = origin(0, 0, 1, 1);
    flash::snapshot(1, std::nullopt, 1.0, [&](std::optional<flash::Origin> o) {
        called = true;
        got = std::move(o);
    });
    EXPECT_TRUE(called) << "with the setting off the answer comes at once";
    EXPECT_FALSE(got.has_value());
    set_flash(true);
    flash::play(origin(100, 100, 7.9, 100), std::nullopt);
    flash::play(origin(100, 100, 100, 7.9), std::nullopt);
    EXPECT_EQ(flash::generation(), before);
    EXPECT_FALSE(flash::panel()->isVisible());
    // Off every screen the flash cannot land in a card.
    EXPECT_EQ(flash::landing_delay(origin(-90000, -90000, 200, 100)), std::nullopt);
}

TEST_F(Flash, SecondFlashKeepsThePanelUntilItsOwn450Milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    flash::play(origin(100, 100, 300, 200), std::nullopt);
    ASSERT_TRUE(flash::panel()->isVisible());
    pump_for(250);
    const qint64 second_at = clock.elapsed();
    flash::play(origin(150, 120, 200, 100), std::nullopt);
    // The first flash's close (at 450 ms) passes without closing.
    wait_until([&] { return clock.elapsed() > 520; }, 2000);
    if (clock.elapsed() - second_at < 440) {
        EXPECT_TRUE(flash::panel()->isVisible()) << "the first flash's close hid the second";
    }
    ASSERT_TRUE(wait_until([] { return !flash::panel()->isVisible(); }, 3000));
    EXPECT_GE(clock.elapsed() - second_at, 440);
    EXPECT_FALSE(flash::current_plan().has_value()) << "the close clears the panel";
    // The panel is reused, not rebuilt.
    QWidget* panel = flash::panel();
    flash::play(origin(100, 100, 300, 200), std::nullopt);
    EXPECT_EQ(flash::panel(), panel);
}

TEST_F(Flash, ThePanelKeepsItsBackingStoreAMomentForTheNextFlashThenGivesItBack)
{
    flash::play(origin(100, 100, 300, 200), std::nullopt);
    QWidget* panel = flash::panel();
    const QSize size = panel->size();
    ASSERT_TRUE(wait_until([&] { return panel->backingStore()->size() == size; }, 1000)) << "the first frame is painted";
    ASSERT_TRUE(wait_until([&] { return !panel->isVisible(); }, 2000));
    pump_for(200);
    EXPECT_EQ(panel->backingStore()->size(), size) << "not at once: the next capture's flash would make it again";
    ASSERT_TRUE(wait_until([&] { return panel->backingStore()->size() == QSize(1, 1); }, 6000)) << "never given back";
}

TEST_F(Flash, PulseShowsThePictureInPlaceAndTheSheenTurnsOnItsRim)
{
    flash::play(origin(100, 100, 400, 200), std::nullopt);
    auto plan = flash::current_plan();
    ASSERT_TRUE(plan);
    EXPECT_EQ(flash::panel()->geometry().size(), QSize(496, 296));
    // Mid-pulse the picture fills its place, shrunk by k about its centre.
    const QImage mid = flash::paint_at(0.12);
    ASSERT_EQ(mid.size(), QSize(496, 296));
    EXPECT_EQ(mid.pixelColor(248, 100).rgb(), qRgb(90, 90, 90)) << "the picture's middle, untouched by the sheen";
    EXPECT_LT(mid.pixelColor(248, 148).red(), 20) << "the dark line through the middle";
    // Shrunk by 6 points on the long side, 3 on the short: the edge is empty.
    EXPECT_EQ(qAlpha(mid.pixel(48 + 2, 148)), 0);
    EXPECT_EQ(qAlpha(mid.pixel(47, 148)), 0);
    // The rim glows in the sheen's colours, lighter than the picture; outside the band it is the picture.
    const QColor rim = mid.pixelColor(248, 48 + 4);
    EXPECT_GT(rim.red() + rim.green() + rim.blue(), 3 * 90 + 60);
    EXPECT_EQ(mid.pixelColor(248, 48 + 40).rgb(), qRgb(90, 90, 90));
    // The turn moves the colours along the rim while the glow is at full strength.
    const QImage a = flash::paint_at(0.08), b = flash::paint_at(0.18);
    int differing = 0;
    for (int x = 60; x < 440; x += 4)
        differing += a.pixel(x, 48 + 6) != b.pixel(x, 48 + 6);
    EXPECT_GT(differing, 10);
    // After the fade nothing is left.
    const QImage end = flash::paint_at(0.41);
    for (int y = 0; y < end.height(); y += 7)
        for (int x = 0; x < end.width(); x += 7)
            ASSERT_EQ(qAlpha(end.pixel(x, y)), 0) << x << "," << y;
}

TEST_F(Flash, ReduceMotionAndMissingImagesGivePlainFlashesWithAStillSheen)
{
    platform::set_accessibility({ true, false, false });
    EXPECT_EQ(flash::landing_delay(origin(100, 100, 400, 200)), std::nullopt);
    flash::play(origin(100, 100, 400, 200), platform::RectF { 800, 100, 200, 100 });
    auto plan = flash::current_plan();
    ASSERT_TRUE(plan);
    EXPECT_TRUE(plan->input().plain);
    EXPECT_FALSE(plan->flies()) << "no flight even with a landing rectangle";
    // No picture: the middle stays clear, only the rim glows.
    const QImage a = flash::paint_at(0.08), b = flash::paint_at(0.18);
    const int cx = static_cast<int>(plan->at(0).carrier_x), cy = static_cast<int>(plan->panel().h - plan->at(0).carrier_y);
    EXPECT_EQ(qAlpha(a.pixel(cx, cy)), 0);
    EXPECT_GT(qAlpha(a.pixel(cx, cy - 100 + 1)), 100);
    EXPECT_EQ(a, b) << "the sheen does not turn";

    platform::set_accessibility({});
    flash::play(origin(100, 100, 400, 200, false), platform::RectF { 800, 100, 200, 100 });
    plan = flash::current_plan();
    ASSERT_TRUE(plan);
    EXPECT_TRUE(plan->input().plain);
    EXPECT_FALSE(plan->flies());
    EXPECT_NE(flash::paint_at(0.08), flash::paint_at(0.18)) << "without an image the sheen still turns";
}

TEST_F(Flash, FlightCarriesThePictureWithItsShadowIntoTheCard)
{
    flash::play(origin(0, 0, 400, 400), platform::RectF { 1000, 20, 200, 100 });
    auto plan = flash::current_plan();
    ASSERT_TRUE(plan && plan->flies());
    const double H = plan->panel().h;
    // Before the flight: at home, no shadow below yet.
    const QImage start = flash::paint_at(0.01);
    EXPECT_EQ(start.pixelColor(248, static_cast<int>(H - 248 - 50)).rgb(), qRgb(90, 90, 90));
    // Landed (before the fade ends): a 100 × 100 picture centred on the card.
    const QImage landed = flash::paint_at(0.319); // the fade into the card starts at 0.32
    const QRect card(1098, static_cast<int>(H - 118 - 50), 100, 100);
    EXPECT_EQ(landed.pixelColor(card.center().x(), card.top() + 10).rgb(), qRgb(90, 90, 90));
    EXPECT_EQ(qAlpha(landed.pixel(248, static_cast<int>(H - 248))), 0) << "nothing left at home";
    // Mid-flight the shadow darkens what lies below the carrier.
    const QImage mid = flash::paint_at(0.16);
    const QTransform to_panel = flash::Painter(*plan, std::nullopt).carrier_transform(plan->at(0.16));
    const QPointF below = to_panel.map(QPointF(200, 400 + 6));
    EXPECT_GT(qAlpha(mid.pixel(below.toPoint())), 10);
}

TEST_F(Flash, AShrunkenPictureShowsItsFineDetailAveragedNotAliased)
{
    // A one-pixel checkerboard lands at a quarter of its size: every pixel
    // shown is then the mean of a four-by-four box, mid-grey, where filtering
    // the full picture would pick black and white pixels apart.
    flash::Origin o = origin(0, 0, 400, 400);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x)
            o.image->setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    flash::play(o, platform::RectF { 1000, 20, 200, 100 });
    auto plan = flash::current_plan();
    ASSERT_TRUE(plan && plan->flies());
    const QImage landed = flash::paint_at(0.319);
    const int top = static_cast<int>(plan->panel().h - 118 - 50);
    for (int y = top + 20; y < top + 80; y += 3)
        for (int x = 1098 + 20; x < 1098 + 80; x += 3) {
            const QColor c = landed.pixelColor(x, y);
            ASSERT_NEAR(c.red(), 128, 24) << x << "," << y;
        }
}

TEST(FlashBounds, EverythingAFramePaintsLiesWithinItsBounds)
{
    // Frames repaint only their bounds and the last frame's: anything painted
    // outside them would stay behind on the panel.
    for (const bool flies : { true, false }) {
        flash::PlanInput in;
        in.origin = { 60, 300, 400, 240 };
        in.corner_radius = 12;
        if (flies)
            in.landing = platform::RectF { 700, 40, 200, 120 };
        const flash::Plan plan(in);
        flash::Painter painter(plan, picture(400, 240));
        const QSize size(static_cast<int>(plan.panel().w), static_cast<int>(plan.panel().h));
        for (double t = 0; t <= plan.duration(); t += 0.02) {
            QImage frame(size, QImage::Format_ARGB32_Premultiplied);
            frame.fill(Qt::transparent);
            {
                QPainter p(&frame);
                painter.paint(p, t, 1, false);
            }
            const QRect bounds = painter.bounds(t).toAlignedRect();
            int painted = 0;
            for (int y = 0; y < frame.height(); ++y)
                for (int x = 0; x < frame.width(); ++x)
                    if (qAlpha(frame.pixel(x, y)) != 0) {
                        ++painted;
                        ASSERT_TRUE(bounds.contains(x, y)) << "t " << t << " at " << x << "," << y << (flies ? " flying" : "");
                    }
            if (plan.at(t).carrier_opacity > 0)
                EXPECT_GT(painted, 0) << t;
            else
                EXPECT_TRUE(bounds.isEmpty()) << t;
        }
    }
}

TEST(FlashSheen, RimShowsTheConicGradientTurnedByTheRotationAtEveryRatio)
{
    flash::PlanInput in;
    in.origin = { 0, 0, 300, 180 };
    in.corner_radius = 12;
    in.plain = true;
    const flash::Plan plan(in);
    flash::Painter painter(plan, std::nullopt);
    for (const double ratio : { 1.0, 1.5 })
        for (const double rotation : { 0.0, -1.1, -std::numbers::pi }) {
            flash::Frame f = plan.at(0.1);
            f.sheen_rotation = rotation;
            QImage sheen(static_cast<int>(std::ceil(300 * ratio)), static_cast<int>(std::ceil(180 * ratio)),
                QImage::Format_ARGB32_Premultiplied);
            sheen.fill(Qt::transparent);
            {
                QPainter p(&sheen);
                p.scale(ratio, ratio);
                painter.paint_sheen(p, f, ratio);
            }
            // The same gradient as the raster engine draws it, over the whole picture.
            QImage reference(sheen.size(), QImage::Format_ARGB32_Premultiplied);
            {
                QPainter p(&reference);
                p.scale(ratio, ratio);
                QConicalGradient g(QPointF(150, 90), 270 + rotation * 180 / std::numbers::pi);
                const std::array<QColor, 7> stops { QColor(255, 255, 255), QColor::fromRgbF(0.78f, 0.80f, 1.0f),
                    QColor::fromRgbF(0.52f, 0.50f, 0.98f), QColor::fromRgbF(0.78f, 0.80f, 1.0f), QColor(255, 255, 255),
                    QColor::fromRgbF(0.78f, 0.80f, 1.0f), QColor(255, 255, 255) };
                for (std::size_t i = 0; i < stops.size(); ++i)
                    g.setColorAt(static_cast<double>(i) / 6, stops[i]);
                p.fillRect(QRectF(0, 0, 300, 180), g);
            }
            int rim = 0, worst = 0;
            for (int y = 0; y < sheen.height(); ++y)
                for (int x = 0; x < sheen.width(); ++x) {
                    const QRgb s = sheen.pixel(x, y);
                    if (qAlpha(s) < 200)
                        continue;
                    ++rim;
                    const QColor c = sheen.pixelColor(x, y), r = reference.pixelColor(x, y);
                    worst = std::max({ worst, std::abs(c.red() - r.red()), std::abs(c.green() - r.green()),
                        std::abs(c.blue() - r.blue()) });
                }
            EXPECT_GT(rim, 1.5 * (300 + 180) * ratio) << "the rim's bright line runs all round";
            EXPECT_LE(worst, 6) << "ratio " << ratio << ", rotation " << rotation;
            // Inside the band nothing is painted.
            EXPECT_EQ(qAlpha(sheen.pixel(sheen.width() / 2, sheen.height() / 2)), 0);
        }
}

// The shadow is left out only under a picture with no translucent pixel: a
// hole in the middle of a window's picture shows the shadow beneath.
TEST(FlashShadow, ShowsThroughATranslucentPicture)
{
    flash::PlanInput in;
    in.origin = { 40, 300, 400, 240 };
    in.corner_radius = 12;
    in.landing = platform::RectF { 700, 40, 200, 120 };
    const flash::Plan plan(in);
    QImage holed = picture(400, 240).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 100; y < 140; ++y)
        for (int x = 170; x < 230; ++x)
            holed.setPixel(x, y, qRgba(0, 0, 0, 0));
    flash::Painter painter(plan, holed);
    const double t = 0.12;
    ASSERT_GT(plan.at(t).shadow_opacity, 0.2);
    QImage out(static_cast<int>(plan.panel().w), static_cast<int>(plan.panel().h), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        QPainter p(&out);
        painter.paint(p, t, 1, false);
    }
    const QPoint middle = painter.carrier_transform(plan.at(t)).map(QPointF(200, 120)).toPoint();
    EXPECT_GT(qAlpha(out.pixel(middle)), 60) << "the shadow beneath the hole";
}

// The rim's strips are kept from one painter to the next of the same size:
// a painter of another size or other corners must still get its own.
TEST(FlashSheen, EachPictureSizeAndCornersGetsItsOwnRim)
{
    auto sheen_of = [](double w, double h, double radius) {
        flash::PlanInput in;
        in.origin = { 0, 0, w, h };
        in.corner_radius = radius;
        in.plain = true;
        const flash::Plan plan(in);
        flash::Painter painter(plan, std::nullopt);
        QImage out(320, 200, QImage::Format_ARGB32_Premultiplied);
        out.fill(Qt::transparent);
        QPainter p(&out);
        painter.paint_sheen(p, plan.at(0.1), 1);
        return out;
    };
    const QImage rounded = sheen_of(300, 180, 12);
    EXPECT_EQ(qAlpha(rounded.pixel(0, 0)), 0) << "a rounded corner cuts the rim";
    EXPECT_GT(qAlpha(rounded.pixel(299, 90)), 100);
    const QImage square = sheen_of(200, 120, 0);
    EXPECT_GT(qAlpha(square.pixel(0, 0)), 100) << "a square corner keeps it";
    EXPECT_GT(qAlpha(square.pixel(199, 60)), 100) << "the right edge is the smaller picture's";
    for (int y = 0; y < square.height(); ++y) {
        for (int x = 0; x < square.width(); ++x) {
            if (x >= 200 || y >= 120) {
                ASSERT_EQ(qAlpha(square.pixel(x, y)), 0) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(sheen_of(300, 180, 12), rounded) << "the same size draws the same rim again";
}

TEST(FlashBlur, SpreadsAlphaAndKeepsItsSum)
{
    QImage image(41, 41, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    for (int y = 15; y < 26; ++y)
        for (int x = 15; x < 26; ++x)
            image.setPixel(x, y, qRgba(0, 0, 0, 255));
    auto total = [](const QImage& im) {
        long sum = 0;
        for (int y = 0; y < im.height(); ++y)
            for (int x = 0; x < im.width(); ++x)
                sum += qAlpha(im.pixel(x, y));
        return sum;
    };
    const long before = total(image);
    flash::blur_alpha(image, 3);
    EXPECT_NEAR(static_cast<double>(total(image)), static_cast<double>(before), before * 0.02);
    EXPECT_LT(qAlpha(image.pixel(20, 20)), 255);
    EXPECT_GT(qAlpha(image.pixel(20, 20)), qAlpha(image.pixel(13, 20)));
    EXPECT_GT(qAlpha(image.pixel(11, 20)), 0) << "spread beyond the square";
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(qRed(image.pixel(20, 20)), 0) << "stays black";
}

TEST(Accessibility, GsettingsAnswersParse)
{
    EXPECT_TRUE(platform::gsettings_bool("true\n", false));
    EXPECT_FALSE(platform::gsettings_bool("false\n", true));
    EXPECT_TRUE(platform::gsettings_bool("No such key “high-contrast”\n", true));
    EXPECT_FALSE(platform::gsettings_bool("", false));
    platform::set_accessibility({ false, true, false });
    EXPECT_EQ(platform::accessibility(), (platform::Accessibility { false, true, false }));
    platform::set_accessibility({});
}

} // namespace
