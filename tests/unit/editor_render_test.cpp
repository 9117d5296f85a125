// The editor's renderer and export, painted offscreen and compared pixel by
// pixel with the image operations they build on.
#include "editor/render.h"

#include "codec/imageops.h"
#include "editor/paint.h"

#include <QColorSpace>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using editor::model::Annotation;
using editor::model::Color;
using editor::model::Counter;
using editor::model::Doc;
using editor::model::Point;
using editor::model::Rect;
using editor::model::Stroke;
using editor::model::Text;
using editor::model::TwoPoint;

QImage noise(int w, int h, unsigned seed = 7)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = 0xff000000u | (rng() & 0xffffffu);
    }
    return image;
}

QImage plain(int w, int h, QColor colour)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(colour);
    return image;
}

Color palette(std::string_view name)
{
    for (const auto& e : editor::model::PALETTE)
        if (e.name == name)
            return e.color;
    ADD_FAILURE() << "no palette colour " << name;
    return {};
}

Annotation two_point(std::uint64_t id, int kind, Point a, Point b, int size = 1, Color color = palette("Rojo"))
{
    return { TwoPoint { a, b }, id, color, std::uint8_t(size), std::uint8_t(kind) };
}

std::uint32_t at(const output::Raster& r, std::size_t x, std::size_t y)
{
    std::uint32_t v;
    std::memcpy(&v, r.pixels.data() + (y * r.width + x) * 4, 4);
    return v;
}

std::uint32_t at(const QImage& image, int x, int y)
{
    return reinterpret_cast<const std::uint32_t*>(image.constScanLine(y))[x];
}

std::uint32_t at(const imageops::Image& image, std::size_t x, std::size_t y)
{
    std::uint32_t v;
    std::memcpy(&v, image.pixels.data() + (y * image.width + x) * 4, 4);
    return v;
}

int channel(std::uint32_t px, int shift) { return int((px >> shift) & 0xff); }

output::Raster export_of(render::Base& base, const Doc& doc)
{
    render::EffectCache cache;
    auto r = render::export_doc(base, doc, cache);
    EXPECT_TRUE(r.has_value());
    return r ? std::move(*r) : output::Raster {};
}

// One annotation of every kind in a 400 × 300 picture at `scale`.
std::vector<Annotation> every_kind(int size, double s)
{
    std::vector<Annotation> items;
    std::uint64_t id = 1;
    const auto p = [s](double x, double y) { return Point { x * s, y * s }; };
    for (int kind : { 1, 2, 3, 4, 5, 10, 11 })
        items.push_back(two_point(id++, kind, p(30 + 45 * (kind % 6), 20 + 35 * (kind / 6)), p(60 + 45 * (kind % 6), 45 + 35 * (kind / 6)), size));
    items.push_back({ Stroke { { p(40, 150), p(60, 170), p(90, 160), p(120, 190) } }, id++, palette("Verde"), std::uint8_t(size), 8 });
    items.push_back({ Stroke { { p(40, 230), p(140, 235) } }, id++, palette("Amarillo"), std::uint8_t(size), 9 });
    items.push_back({ Text { "Hola\nmundo", p(200, 140), render::measure_text("Hola\nmundo", size, s, 0), 0 }, id++,
        palette("Azul"), std::uint8_t(size), 6 });
    items.push_back({ Counter { p(330, 240), 7 }, id++, palette("Morado"), std::uint8_t(size), 7 });
    return items;
}

TEST(EditorExport, CanvasSizeFollowsTheFrameAndTheCrop)
{
    render::Base base(noise(1000, 500), 1);
    Doc doc;
    EXPECT_EQ(export_of(base, doc).width, 1000u);
    doc.background = true;
    const output::Raster framed = export_of(base, doc);
    EXPECT_EQ(framed.width, 1140u); // a margin of 70 on each side
    EXPECT_EQ(framed.height, 640u);
    EXPECT_EQ(framed.pixels.size(), 1140u * 640u * 4u);
    ASSERT_TRUE(framed.icc.has_value()); // sRGB for a picture without a profile
    EXPECT_EQ(QColorSpace::fromIccProfile(QByteArray(reinterpret_cast<const char*>(framed.icc->data()), qsizetype(framed.icc->size()))),
        QColorSpace(QColorSpace::SRgb));

    render::Base retina(noise(1000, 500), 2);
    EXPECT_EQ(export_of(retina, doc).width, 1140u); // 70 lies within 40 … 180

    // A crop of no width: nothing without the frame, the margin alone with it.
    doc.crop = Rect { 10, 10, 0, 50 };
    render::EffectCache cache;
    const output::Raster margin_only = export_of(base, doc); // m = 20 (the minimum)
    EXPECT_EQ(margin_only.width, 40u);
    EXPECT_EQ(margin_only.height, 90u);
    doc.background = false;
    EXPECT_FALSE(render::export_doc(base, doc, cache).has_value());
    // Past what a painter can hold: none, rather than a broken picture.
    doc.crop = Rect { 0, 0, 40000, 10 };
    EXPECT_FALSE(render::export_doc(base, doc, cache).has_value());
}

TEST(EditorExport, PixelateCellsAreTheDownscaleBoxesCutAtTheRegion)
{
    const QImage picture = noise(120, 90);
    render::Base base(picture, 1);
    Doc doc;
    // Size 0 at scale 1: 6-pixel cells. The region's corners are not whole pixels.
    doc.annotations.push_back(two_point(1, 10, { 70.2, 50.9 }, { 13.4, 7.6 }, 0));
    const output::Raster out = export_of(base, doc);
    ASSERT_EQ(out.width, 120u);

    const output::Raster raster = output::rasterize(picture);
    const imageops::Rect p { 13, 7, 58, 44 };
    const std::size_t stride = 4 * 120;
    const imageops::Image cells = imageops::downscale(
        { std::span<const std::uint8_t>(raster.pixels).subspan(p.y * stride + 4 * p.x), p.w, p.h, stride }, 6);
    int mismatches = 0;
    for (std::size_t y = 0; y < 90; ++y)
        for (std::size_t x = 0; x < 120; ++x) {
            const bool inside = x >= p.x && x < p.x + p.w && y >= p.y && y < p.y + p.h;
            const std::uint32_t want = inside ? at(cells, (x - p.x) / 6, (y - p.y) / 6) : at(picture, int(x), int(y));
            mismatches += at(out, x, y) != want;
        }
    EXPECT_EQ(mismatches, 0);
}

TEST(EditorExport, BlurIsTheBlurOfTheGrownRegionShownOnlyInsideIt)
{
    const QImage picture = noise(120, 90, 3);
    render::Base base(picture, 1);
    Doc doc;
    // Size 0 at scale 1: sigma 9, box radius 9, grown by 27 and clamped.
    doc.annotations.push_back(two_point(4, 11, { 40, 30 }, { 80, 60 }, 0));
    const output::Raster out = export_of(base, doc);

    const output::Raster raster = output::rasterize(picture);
    const imageops::Rect e = imageops::Rect { 13, 3, 94, 84 }.clamp(120, 90);
    std::vector<std::uint8_t> grown = imageops::crop({ raster.pixels, 120, 90, 480 }, e);
    imageops::blur({ grown, e.w, e.h, 4 * e.w }, 9);
    const imageops::Image blurred { grown, e.w, e.h };
    int mismatches = 0;
    for (std::size_t y = 0; y < 90; ++y)
        for (std::size_t x = 0; x < 120; ++x) {
            const bool inside = x >= 40 && x < 80 && y >= 30 && y < 60;
            const std::uint32_t want = inside ? at(blurred, x - e.x, y - e.y) : at(picture, int(x), int(y));
            mismatches += at(out, x, y) != want;
        }
    EXPECT_EQ(mismatches, 0);
}

TEST(EditorExport, EveryKindAndSizeInksOnlyInsideItsBounds)
{
    for (double s : { 1.0, 2.0 }) {
        const QImage picture = noise(int(400 * s), int(300 * s), 11);
        for (int size = 0; size < 3; ++size) {
            for (const Annotation& a : every_kind(size, s)) {
                SCOPED_TRACE(::testing::Message() << "kind " << int(a.kind) << " size " << size << " scale " << s);
                render::Base base(picture, s);
                Doc doc;
                doc.annotations.push_back(a);
                const output::Raster out = export_of(base, doc);
                const Rect b = a.bounds(s).grown(1); // the effects' whole-pixel rounding
                int outside = 0, inside = 0;
                for (std::size_t y = 0; y < out.height; ++y)
                    for (std::size_t x = 0; x < out.width; ++x) {
                        if (at(out, x, y) == at(picture, int(x), int(y)))
                            continue;
                        (b.contains({ x + 0.5, y + 0.5 }) ? inside : outside) += 1;
                    }
                EXPECT_EQ(outside, 0);
                EXPECT_GT(inside, 20);
            }
        }
    }
}

TEST(EditorExport, TwoExportsAreByteIdentical)
{
    render::Base base(noise(800, 600, 5), 2);
    Doc doc;
    doc.background = true;
    doc.annotations = every_kind(2, 2);
    doc.annotations.push_back(two_point(99, 12, { 100, 100 }, { 300, 260 }));
    render::EffectCache cache;
    const auto a = render::export_doc(base, doc, cache);
    const auto b = render::export_doc(base, doc, cache);
    render::EffectCache fresh;
    const auto c = render::export_doc(base, doc, fresh);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(a->pixels == b->pixels);
    EXPECT_TRUE(a->pixels == c->pixels);
}

TEST(EditorExport, SpotlightsDimTheRestOnceAndLeaveTheirUnionClear)
{
    render::Base base(plain(200, 120, QColor(200, 200, 200)), 1);
    Doc doc;
    doc.annotations.push_back(two_point(1, 12, { 20, 20 }, { 90, 90 }));
    doc.annotations.push_back(two_point(2, 12, { 60, 40 }, { 150, 100 }));
    const output::Raster out = export_of(base, doc);
    const auto grey = [&](int x, int y) { return channel(at(out, x, y), 16); };
    EXPECT_NEAR(grey(5, 5), 90, 1);     // 45 % of 200
    EXPECT_NEAR(grey(190, 110), 90, 1);
    EXPECT_EQ(grey(40, 40), 200);       // the first alone
    EXPECT_EQ(grey(120, 80), 200);      // the second alone
    EXPECT_EQ(grey(75, 60), 200);       // both: not dimmed twice, not undimmed twice
    EXPECT_EQ(channel(at(out, 5, 5), 24), 255);
}

TEST(EditorExport, HighlighterMultipliesAndTheLaterOneWinsWhereTheyCross)
{
    render::Base base(plain(200, 200, QColor(200, 200, 200)), 1);
    Doc doc;
    const Color yellow = palette("Amarillo"), blue = palette("Azul");
    doc.annotations.push_back({ Stroke { { { 20, 100 }, { 180, 100 } } }, 1, yellow, 1, 9 });
    doc.annotations.push_back({ Stroke { { { 100, 20 }, { 100, 180 } } }, 2, blue, 1, 9 });
    const output::Raster out = export_of(base, doc);
    const auto expect_multiplied = [&](int x, int y, const Color& c) {
        const std::uint32_t px = at(out, x, y);
        EXPECT_NEAR(channel(px, 16), 200 * c.r, 1.5) << x << "," << y;
        EXPECT_NEAR(channel(px, 8), 200 * c.g, 1.5) << x << "," << y;
        EXPECT_NEAR(channel(px, 0), 200 * c.b, 1.5) << x << "," << y;
    };
    expect_multiplied(50, 100, yellow);
    expect_multiplied(100, 50, blue);
    expect_multiplied(100, 100, blue); // not yellow × blue
    EXPECT_EQ(channel(at(out, 50, 50), 16), 200);
}

TEST(EditorExport, FrameIsRoundedAndItsShadowFallsBelow)
{
    render::Base base(plain(200, 100, QColor(128, 128, 128)), 1);
    Doc doc;
    doc.background = true;
    const output::Raster out = export_of(base, doc); // margin 20
    ASSERT_EQ(out.width, 240u);
    // The gradient alone, painted the same way, as the reference.
    QImage ref(240, 140, QImage::Format_ARGB32_Premultiplied);
    ref.fill(Qt::transparent);
    {
        QPainter p(&ref);
        p.translate(20, 20);
        render::DrawCtx ctx { .painter = &p, .from_srgb = &base.from_srgb() };
        render::draw_background(ctx, QRectF(-20, -20, 240, 140));
    }
    const auto darkening = [&](int x, int y) {
        return channel(at(ref, x, y), 8) - channel(at(out, std::size_t(x), std::size_t(y)), 8);
    };
    EXPECT_GT(darkening(120, 127), darkening(120, 13) + 10); // 7 below vs 7 above
    EXPECT_GT(darkening(120, 127), 10);
    EXPECT_EQ(at(out, 120, 70), at(base.image(), 100, 50)); // the picture itself
    // The picture's corner is cut round: the gradient (darkened) shows there.
    EXPECT_NE(at(out, 20, 20), at(base.image(), 0, 0));
    EXPECT_EQ(channel(at(out, 0, 0), 24), 255);
}

TEST(EditorExport, OpaquePicturesTakeTheShortWayToTheSameFrame)
{
    // An opaque picture casts its shadow from its rounded shape; one with a
    // single transparent pixel goes through a transparency layer. Both must
    // look the same around the picture.
    QImage opaque = plain(300, 200, QColor(90, 160, 70));
    QImage holed = opaque.copy();
    holed.setPixelColor(150, 100, Qt::transparent);
    Doc doc;
    doc.background = true;
    doc.annotations.push_back(two_point(1, 3, { -20, 150 }, { 60, 230 }, 1, palette("Azul")));
    for (double s : { 1.0, 2.0 }) {
        render::Base a(opaque, s), b(holed, s);
        ASSERT_TRUE(a.opaque());
        ASSERT_FALSE(b.opaque());
        const output::Raster x = export_of(a, doc), y = export_of(b, doc);
        ASSERT_EQ(x.pixels.size(), y.pixels.size());
        const std::size_t m = (x.width - 300) / 2;
        int worst = 0;
        for (std::size_t py = 0; py < x.height; ++py)
            for (std::size_t px = 0; px < x.width; ++px) {
                if (px == m + 150 && py == m + 100)
                    continue;
                for (int shift : { 0, 8, 16, 24 })
                    worst = std::max(worst, std::abs(channel(at(x, px, py), shift) - channel(at(y, px, py), shift)));
            }
        EXPECT_LE(worst, 3) << "scale " << s;
    }
}

TEST(EditorExport, CounterDigitsContrastWithTheDisc)
{
    const auto digits = [](std::string_view colour) {
        render::Base base(plain(100, 100, QColor(128, 128, 128)), 2);
        Doc doc;
        doc.annotations.push_back({ Counter { { 50, 50 }, 7 }, 1, palette(colour), 1, 7 }); // R = 30
        const output::Raster out = export_of(base, doc);
        int dark = 0, white = 0;
        for (int y = 32; y < 68; ++y)
            for (int x = 32; x < 68; ++x) {
                const std::uint32_t px = at(out, std::size_t(x), std::size_t(y));
                const int lo = std::min({ channel(px, 16), channel(px, 8), channel(px, 0) });
                const int hi = std::max({ channel(px, 16), channel(px, 8), channel(px, 0) });
                dark += hi < 60;
                white += lo > 235;
            }
        return std::pair { dark, white };
    };
    const auto [yellow_dark, yellow_white] = digits("Amarillo");
    EXPECT_GT(yellow_dark, 20);
    EXPECT_EQ(yellow_white, 0);
    const auto [blue_dark, blue_white] = digits("Azul");
    EXPECT_EQ(blue_dark, 0);
    EXPECT_GT(blue_white, 20);
}

TEST(EditorRender, EffectCacheKeepsScreenAndExportEntriesApart)
{
    render::Base base(noise(400, 300), 2);
    render::EffectCache cache;
    Doc doc;
    // Size 2 at scale 2: box radius 48, reduced by 12 on screen.
    doc.annotations.push_back(two_point(5, 11, { 100, 80 }, { 260, 200 }, 2));

    QImage screen(400, 300, QImage::Format_ARGB32_Premultiplied);
    const auto draw_on_screen = [&] {
        QPainter p(&screen);
        render::DrawCtx ctx { .painter = &p, .scale = 2, .on_screen = true, .from_srgb = &base.from_srgb() };
        render::draw_items(ctx, base, cache, doc.annotations, QRectF(0, 0, 400, 300), std::nullopt);
    };
    draw_on_screen();
    ASSERT_TRUE(cache.contains(5));
    EXPECT_TRUE(cache.at(5).reduced);
    EXPECT_EQ(cache.at(5).pixels, (imageops::Rect { 100, 80, 160, 120 }));
    EXPECT_EQ(cache.at(5).image.width(), 34); // the grown region (clamped: 400 px) over 12, rounded up
    const qint64 on_screen = cache.at(5).image.cacheKey();
    draw_on_screen();
    EXPECT_EQ(cache.at(5).image.cacheKey(), on_screen); // unchanged: not processed again

    ASSERT_TRUE(render::export_doc(base, doc, cache));
    EXPECT_FALSE(cache.at(5).reduced); // the export never uses the reduced picture
    const qint64 exported = cache.at(5).image.cacheKey();
    EXPECT_NE(exported, on_screen);
    ASSERT_TRUE(render::export_doc(base, doc, cache));
    EXPECT_EQ(cache.at(5).image.cacheKey(), exported);

    std::get<TwoPoint>(doc.annotations[0].geom).end.x += 3;
    ASSERT_TRUE(render::export_doc(base, doc, cache));
    EXPECT_NE(cache.at(5).image.cacheKey(), exported);
    EXPECT_EQ(cache.at(5).pixels.w, 163u);

    // Wholly outside the picture: nothing drawn, no entry.
    doc.annotations.push_back(two_point(6, 10, { 500, 10 }, { 600, 50 }));
    ASSERT_TRUE(render::export_doc(base, doc, cache));
    EXPECT_FALSE(cache.contains(6));
}

// The blur drawn on screen reads the picture's preview at a fraction of its
// resolution; drawn at full size it stays within a few levels of the exact
// blur an export draws, edges and all.
TEST(EditorRender, ScreenBlurFromThePreviewFollowsTheExactBlur)
{
    QImage picture = plain(800, 600, Qt::black);
    {
        QPainter p(&picture);
        p.fillRect(QRect(390, 0, 410, 600), Qt::white);
        p.fillRect(QRect(0, 330, 800, 270), QColor(40, 160, 90));
    }
    render::Base base(picture, 2);
    ASSERT_EQ(base.preview()->width, 200u);
    ASSERT_EQ(base.preview()->height, 150u);
    // Size 2 at scale 2: box radius 48, read from the preview reduced by 3 more.
    const std::vector<Annotation> items { two_point(3, 11, { 201, 183 }, { 563, 421 }, 2) };
    const auto drawn = [&](bool on_screen) {
        QImage out = plain(800, 600, Qt::transparent);
        render::EffectCache cache;
        QPainter p(&out);
        p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        render::DrawCtx ctx { .painter = &p, .scale = 2, .unit = 2, .on_screen = on_screen, .from_srgb = &base.from_srgb() };
        render::draw_items(ctx, base, cache, items, QRectF(0, 0, 800, 600), std::nullopt);
        EXPECT_EQ(cache.at(3).reduced, on_screen);
        return out;
    };
    const QImage exact = drawn(false), screen = drawn(true);
    int worst = 0;
    for (int y = 183; y < 421; ++y)
        for (int x = 201; x < 563; ++x)
            for (int shift : { 0, 8, 16, 24 })
                worst = std::max(worst, std::abs(channel(at(exact, x, y), shift) - channel(at(screen, x, y), shift)));
    EXPECT_LE(worst, 14); // as close as a reduction of the full picture comes
    EXPECT_EQ(at(screen, 200, 300), 0u); // nothing outside the region
    EXPECT_EQ(at(screen, 563, 300), 0u);
}

TEST(EditorRender, BaseScaleAndColourSpace)
{
    EXPECT_EQ(render::Base(noise(4, 4), 0.2).scale(), 0.5);
    EXPECT_EQ(render::Base(noise(4, 4), std::nan("")).scale(), 0.5);
    EXPECT_EQ(render::Base(noise(4, 4), 2).scale(), 2);
    render::Base srgb(noise(4, 4), 1);
    EXPECT_EQ(srgb.color_space(), QColorSpace(QColorSpace::SRgb));
    EXPECT_FALSE(srgb.from_srgb().has_value());

    QImage p3 = noise(4, 4);
    p3.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    render::Base wide(p3, 1);
    EXPECT_EQ(wide.color_space(), QColorSpace(QColorSpace::DisplayP3));
    // Palette colours are sRGB: pure red is less than full red in Display P3.
    render::DrawCtx ctx { .from_srgb = &wide.from_srgb() };
    const QColor red = ctx.color(1, 0, 0);
    EXPECT_LT(red.redF(), 0.95f);
    EXPECT_GT(red.greenF(), 0.1f);
    Doc doc;
    const output::Raster out = export_of(wide, doc);
    ASSERT_TRUE(out.icc.has_value());
    EXPECT_EQ(QColorSpace::fromIccProfile(QByteArray(reinterpret_cast<const char*>(out.icc->data()), qsizetype(out.icc->size()))),
        QColorSpace(QColorSpace::DisplayP3));
}

TEST(EditorRender, MeasuredTextWrapsAndBreaksLines)
{
    const auto one = render::measure_text("Hola", 1, 1, 0);
    const double pad = 2 * 0.075 * 30;
    EXPECT_GT(one.w, pad + 30);
    EXPECT_GT(one.h, pad + 30);
    EXPECT_LT(one.h, pad + 50);
    EXPECT_EQ(one.w, std::ceil(one.w - pad) + pad); // whole pixels past the padding
    // Empty text is a blank: one line high.
    EXPECT_EQ(render::measure_text("", 1, 1, 0).h, one.h);
    // A line break adds a line; a wrap width makes the box narrower and taller.
    EXPECT_NEAR(render::measure_text("Hola\nHola", 1, 1, 0).h - pad, 2 * (one.h - pad), 1);
    const auto wide = render::measure_text("uno dos tres cuatro cinco", 1, 1, 0);
    const auto wrapped = render::measure_text("uno dos tres cuatro cinco", 1, 1, 150);
    EXPECT_LE(wrapped.w, 150);
    EXPECT_GT(wrapped.h, 2 * (one.h - pad));
    EXPECT_GT(wide.w, 150);
    // Twice the scale, twice the box (within rounding).
    EXPECT_NEAR(render::measure_text("Hola", 1, 2, 0).w - 2 * pad, 2 * (one.w - pad), 2);
}

TEST(EditorRender, SmoothPathOfOneTwoAndManyPoints)
{
    QPainterPath dot;
    render::add_smooth_path(dot, std::vector<Point> { { 5, 5 } });
    ASSERT_EQ(dot.elementCount(), 2);
    EXPECT_DOUBLE_EQ(dot.elementAt(1).x, 5.01);

    QPainterPath line;
    render::add_smooth_path(line, std::vector<Point> { { 0, 0 }, { 10, 0 } });
    EXPECT_EQ(line.currentPosition(), QPointF(10, 0));
    EXPECT_EQ(line.boundingRect().height(), 0);

    QPainterPath curve;
    const std::vector<Point> pts { { 0, 0 }, { 10, 0 }, { 10, 10 }, { 0, 10 } };
    render::add_smooth_path(curve, pts);
    EXPECT_EQ(curve.currentPosition(), QPointF(0, 10));
    // Straight to the first midpoint, then curves that stay inside the points' box.
    EXPECT_EQ(QPointF(curve.elementAt(1)), QPointF(5, 0));
    EXPECT_TRUE(QRectF(0, 0, 10, 10).adjusted(-0.01, -0.01, 0.01, 0.01).contains(curve.boundingRect()));
    EXPECT_GT(curve.boundingRect().width(), 5);
}

TEST(Paint, ShadowRadiusAndAlphaBlurMatchTheImageBlur)
{
    EXPECT_EQ(paint::shadow_box_radius(0), 0u);
    EXPECT_EQ(paint::shadow_box_radius(6), 3u);   // sigma 3
    EXPECT_EQ(paint::shadow_box_radius(56), 28u); // sigma 28
    // One channel blurred alone equals the four-channel blur of the same bytes
    // when the edges are far enough away for their rule not to matter.
    const std::size_t w = 61, h = 47, r = 4;
    std::vector<std::uint8_t> alpha(w * h, 0), rgba(w * h * 4, 0);
    std::mt19937 rng(1);
    for (std::size_t y = 15; y < 32; ++y)
        for (std::size_t x = 15; x < 46; ++x) {
            const auto v = std::uint8_t(rng());
            alpha[y * w + x] = v;
            std::fill_n(&rgba[(y * w + x) * 4], 4, v);
        }
    paint::blur_alpha(alpha, w, h, w, r);
    imageops::blur({ rgba, w, h, 4 * w }, r);
    int worst = 0;
    for (std::size_t i = 0; i < w * h; ++i)
        worst = std::max(worst, std::abs(int(alpha[i]) - int(rgba[i * 4 + 3])));
    EXPECT_LE(worst, 2);
}

TEST(Paint, LayersNestAndCastOneShadowDownwards)
{
    QImage canvas(100, 100, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::white);
    {
        QPainter p(&canvas);
        p.setClipRect(0, 0, 70, 100);
        paint::Layer outer(p, QRectF(20, 20, 60, 60), paint::Shadow { 0, 6, 4, QColor(0, 0, 0, 255) });
        {
            paint::Layer inner(outer.painter(), QRectF(0, 0, 100, 100));
            inner.painter().fillRect(QRectF(30, 30, 40, 30), Qt::red);
        }
        outer.painter().fillRect(QRectF(0, 0, 100, 100), Qt::blue); // cut to the layer's bounds
    }
    EXPECT_EQ(at(canvas, 50, 50), QColor(Qt::blue).rgb());
    EXPECT_EQ(at(canvas, 10, 10), QColor(Qt::white).rgb()); // outside the layer
    EXPECT_EQ(at(canvas, 75, 50), QColor(Qt::white).rgb()); // outside the clip, shadow too
    // The shadow shows below the layer, not above it.
    EXPECT_LT(channel(at(canvas, 50, 83), 8), 200);
    EXPECT_GT(channel(at(canvas, 50, 16), 8), 250);
}

} // namespace
