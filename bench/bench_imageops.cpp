// The image operations' heavy paths (blur at three radii, downscale by 2)
// against OpenCV's box filter and area resize, where OpenCV is installed.
#include "bench_common.h"
#include "codec/imageops.h"
#include "screenshot_gen.h"
#include "base/util.h"

#ifdef VISTROPE_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include <cstdio>
#include <cstring>

namespace {

void print_row(const char* what, const bench::Timing& ours, const bench::Timing* ref)
{
    std::printf("  %-24s %10.2f %10.2f", what, ours.median_ms, ours.min_ms);
    if (ref)
        std::printf(" %12.2f %10s\n", ref->median_ms, bench::ratio(ref->median_ms, ours.median_ms).c_str());
    else
        std::printf(" %12s %10s\n", "-", "-");
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    const bench::Picture pic = smoke ? bench::make_screenshot(800, 480, false, 5) : bench::make_screenshot(3840, 2160, false, 5);
    const int runs = smoke ? 1 : 9;
    const std::size_t w = pic.width, h = pic.height, stride = 4 * w;
    std::printf("image operations benchmark: %zux%zu BGRA, median of %d runs (halving %d), %u hardware threads, %s%s\n", w, h,
        runs, runs * 5, util::parallelism(), bench::load().c_str(), smoke ? " [smoke]" : "");
#ifdef VISTROPE_HAVE_OPENCV
    std::printf("reference: OpenCV %s, %d threads; blur = 3 x cv::blur (box, replicated border), "
                "downscale = cv::resize INTER_AREA\n",
        CV_VERSION, cv::getNumThreads());
#else
    std::printf("reference: OpenCV not installed, our times only\n");
#endif
    std::printf("  %-24s %10s %10s %12s %10s\n", "operation", "median ms", "min ms", "OpenCV ms", "OpenCV/us");

    std::vector<std::uint8_t> work = pic.bgra;
    double blur20 = 0, blur1000 = 0;
    for (const std::size_t r : { std::size_t(2), std::size_t(20), std::size_t(1000) }) {
        const auto ours = bench::time_runs(runs, [&] {
            std::memcpy(work.data(), pic.bgra.data(), work.size());
            imageops::blur({ work, w, h, stride }, r);
        });
        if (r == 20)
            blur20 = ours.median_ms;
        if (r == 1000)
            blur1000 = ours.median_ms;
        char label[64];
        std::snprintf(label, sizeof label, "blur radius %zu", r);
#ifdef VISTROPE_HAVE_OPENCV
        cv::Mat src(int(h), int(w), CV_8UC4, const_cast<std::uint8_t*>(pic.bgra.data())), a, b;
        const int k = int(2 * r + 1);
        const auto ref = bench::time_runs(runs, [&] {
            cv::blur(src, a, cv::Size(k, k), cv::Point(-1, -1), cv::BORDER_REPLICATE);
            cv::blur(a, b, cv::Size(k, k), cv::Point(-1, -1), cv::BORDER_REPLICATE);
            cv::blur(b, a, cv::Size(k, k), cv::Point(-1, -1), cv::BORDER_REPLICATE);
        });
        print_row(label, ours, &ref);
#else
        print_row(label, ours, nullptr);
#endif
    }

    // Halving as a new picture each time, and into the last result (as a
    // live preview does), against OpenCV making a new Mat and reusing one.
    imageops::Image small, reused;
    const imageops::View view { pic.bgra, w, h, stride };
    const auto fresh = bench::time_runs(runs * 5, [&] { small = imageops::downscale(view, 2); });
    const auto into = bench::time_runs(runs * 5, [&] { imageops::downscale(view, 2, reused); });
#ifdef VISTROPE_HAVE_OPENCV
    cv::Mat src(int(h), int(w), CV_8UC4, const_cast<std::uint8_t*>(pic.bgra.data())), dst;
    const cv::Size half(int((w + 1) / 2), int((h + 1) / 2));
    const auto ref_fresh = bench::time_runs(runs * 5, [&] {
        cv::Mat made;
        cv::resize(src, made, half, 0, 0, cv::INTER_AREA);
    });
    const auto ref_into = bench::time_runs(runs * 5, [&] { cv::resize(src, dst, half, 0, 0, cv::INTER_AREA); });
    print_row("halve, new picture", fresh, &ref_fresh);
    print_row("halve, into the last", into, &ref_into);
#else
    print_row("halve, new picture", fresh, nullptr);
    print_row("halve, into the last", into, nullptr);
#endif
    // What a new picture costs before any pixel is written: the result's
    // bytes allocated and cleared (std::vector), which OpenCV's Mat skips.
    const auto clear = bench::time_runs(runs * 5, [&] {
        std::vector<std::uint8_t> made(small.pixels.size());
        std::swap(made, reused.pixels);
        std::swap(made, reused.pixels);
    });
    std::printf("  %-24s %10.2f %10.2f   (floor of the new picture: halving into the last + this)\n", "clearing a new result",
        clear.median_ms, clear.min_ms);
    // The output must stay what it always was: each byte the rounded mean of
    // its 2 × 2 box, checked against that definition over the whole picture.
    bool same = small.pixels == reused.pixels && small.width == (w + 1) / 2 && small.height == (h + 1) / 2;
    for (std::size_t Y = 0; same && Y < small.height; ++Y)
        for (std::size_t X = 0; same && X < small.width; ++X)
            for (std::size_t c = 0; c < 4; ++c) {
                unsigned sum = 0, n = 0;
                for (std::size_t y = 2 * Y; y < std::min(2 * Y + 2, h); ++y)
                    for (std::size_t x = 2 * X; x < std::min(2 * X + 2, w); ++x, ++n)
                        sum += pic.bgra[y * stride + 4 * x + c];
                same = same && small.pixels[(Y * small.width + X) * 4 + c] == (sum + n / 2) / n;
            }
    std::uint64_t fnv = 1469598103934665603ull;
    for (const std::uint8_t byte : small.pixels)
        fnv = (fnv ^ byte) * 1099511628211ull;
    std::printf("  halving: %s the 2 x 2 box means, FNV-1a %016llx\n", same ? "same bytes as" : "DIFFERS FROM",
        static_cast<unsigned long long>(fnv));
    std::printf(
        "  blur radius 1000 / radius 20: %.2f (cost must not grow with the radius)\n", blur20 > 0 ? blur1000 / blur20 : 0.0);
    std::printf("  %s\n", bench::load().c_str());
    return same ? 0 : 1;
}
