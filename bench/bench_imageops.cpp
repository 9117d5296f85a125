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
    std::printf("image operations benchmark: %zux%zu BGRA, median of %d runs, %u hardware threads%s\n", w, h, runs,
        util::parallelism(), smoke ? " [smoke]" : "");
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

    imageops::Image small;
    const auto ours = bench::time_runs(runs, [&] { small = imageops::downscale({ pic.bgra, w, h, stride }, 2); });
#ifdef VISTROPE_HAVE_OPENCV
    cv::Mat src(int(h), int(w), CV_8UC4, const_cast<std::uint8_t*>(pic.bgra.data())), dst;
    const auto ref = bench::time_runs(
        runs, [&] { cv::resize(src, dst, cv::Size(int((w + 1) / 2), int((h + 1) / 2)), 0, 0, cv::INTER_AREA); });
    print_row("downscale by 2", ours, &ref);
#else
    print_row("downscale by 2", ours, nullptr);
#endif
    std::printf(
        "  blur radius 1000 / radius 20: %.2f (cost must not grow with the radius)\n", blur20 > 0 ? blur1000 / blur20 : 0.0);
    return small.width == (w + 1) / 2 ? 0 : 1;
}
