// The libmpv player view against plain FFmpeg decoding of the same clip:
//  - playback of a 1920x1080 60 fps clip in a 960x540 view: the share of
//    frames drawn within one frame interval of their time, and the CPU time
//    against `ffmpeg -i clip -f null -` decoding it;
//  - one frame back against decoding from the keyframe before to that frame;
//  - opening (view built to first frame drawn) against video::thumbnail.
//
// Usage: bench_player [--smoke]   (--smoke: a 1 s 320x180 clip, offscreen
// works too; without the ffmpeg command it says it skipped and succeeds)
#include "bench_common.h"

#include "platform/media.h"
#include "platform/video_player.h"
#include "record/video.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <fmt/format.h>

#include <sys/resource.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace {

double cpu_seconds(int who)
{
    rusage u {};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop (sleeping between events, so the waiting costs no CPU
// of its own) until `done` or `ms` milliseconds.
bool wait_for(const std::function<bool()>& done, int ms)
{
    if (done())
        return true;
    QEventLoop loop;
    QElapsedTimer t;
    t.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || t.elapsed() >= ms)
            loop.quit();
    });
    poll.start(2);
    loop.exec();
    return done();
}

double ms_since(const std::chrono::steady_clock::time_point& t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) {
        std::puts("bench_player: no ffmpeg command; skipped");
        return 0;
    }
    QApplication app(argc, argv);
    const int width = smoke ? 320 : 1920, height = smoke ? 180 : 1080, fps = 60, seconds = smoke ? 1 : 10;
    const fs::path dir = fs::temp_directory_path() / fmt::format("vistrope-bench-player-{}", ::getpid());
    fs::create_directories(dir);
    const fs::path clip = dir / "clip.mp4";
    // A screen-recording-like clip: moving content, a keyframe every 2 s.
    const std::string make = fmt::format("ffmpeg -loglevel error -y -f lavfi -i testsrc2=size={}x{}:rate={}:duration={} "
                                         "-c:v libx264 -preset veryfast -g {} -pix_fmt yuv420p '{}'",
        width, height, fps, seconds, 2 * fps, clip.string());
    if (std::system(make.c_str()) != 0) {
        std::puts("bench_player: could not make the clip");
        return 1;
    }
    std::printf("clip: %dx%d, %d s at %d fps\n", width, height, seconds, fps);

    // Reference decoding: the ffmpeg command's CPU time (its threads included).
    const double child0 = cpu_seconds(RUSAGE_CHILDREN);
    const auto ref_t0 = std::chrono::steady_clock::now();
    (void)std::system(fmt::format("ffmpeg -loglevel error -i '{}' -f null -", clip.string()).c_str());
    const double ref_wall = ms_since(ref_t0);
    const double ref_cpu = cpu_seconds(RUSAGE_CHILDREN) - child0;

    // Opening against the thumbnail.
    const auto thumb = bench::time_runs(smoke ? 1 : 5, [&] { (void)video::thumbnail(clip, 960); });
    std::vector<double> opens;
    std::unique_ptr<platform::VideoPlayerView> view;
    for (int i = 0; i < (smoke ? 1 : 5); ++i) {
        view.reset();
        const auto t0 = std::chrono::steady_clock::now();
        view = platform::create_mpv_player_view(clip, { .sound = false });
        view->resize(960, 540 + 40);
        view->show();
        if (!wait_for([&] { return view->can_begin_trimming(); }, 20000)) {
            std::puts("bench_player: the view showed no frame");
            return 1;
        }
        opens.push_back(ms_since(t0));
    }
    const auto open = bench::summarize(opens);

    // Playback: every drawn frame's wall time against its position.
    struct Shown {
        double wall, pos;
    };
    std::vector<Shown> shown;
    const auto play_t0 = std::chrono::steady_clock::now();
    view->set_on_frame([&](double pos) { shown.push_back({ ms_since(play_t0) / 1000.0, pos }); });
    const double self0 = cpu_seconds(RUSAGE_SELF);
    view->play();
    wait_for([&] { return view->paused() && !shown.empty() && view->position() > seconds - 0.1; }, (seconds + 10) * 1000);
    const double play_cpu = cpu_seconds(RUSAGE_SELF) - self0;
    view->set_on_frame(nullptr);
    // Each frame counts once: a frame drawn again (the first one when play
    // starts, a repaint) is the same frame, at its first drawing.
    std::vector<double> offsets;
    std::set<long long> seen;
    for (const auto& s : shown)
        if (seen.insert(std::llround(s.pos * fps)).second)
            offsets.push_back(s.wall - s.pos);
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const double base = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    const int expected = seconds * fps;
    int on_time = 0;
    for (double o : offsets)
        on_time += std::abs(o - base) <= 1.0 / fps ? 1 : 0;
    const double share = 100.0 * on_time / expected;

    // One frame back from the frame before a keyframe, against decoding
    // from the keyframe before it to that frame.
    auto media = platform::create_ffmpeg_media();
    std::vector<double> backs, refs;
    for (int i = 0; i < (smoke ? 1 : 5); ++i) {
        const double target = (smoke ? 0.5 : 2.0 * (i + 1)) - 1.0 / fps; // the last frame of a group
        view->seek(target + 1.0 / fps);
        wait_for([&] { return std::abs(view->position() - (target + 1.0 / fps)) < 0.002; }, 10000);
        QThread::msleep(100);
        QCoreApplication::processEvents();
        const auto t0 = std::chrono::steady_clock::now();
        view->step_frame(-1);
        wait_for([&] { return std::abs(view->position() - target) < 0.002; }, 10000);
        backs.push_back(ms_since(t0));
        const auto r0 = std::chrono::steady_clock::now();
        auto reader = media->open_frames(clip, target, 1.0 / fps, 960, 540);
        if (reader)
            (void)(*reader)->next();
        refs.push_back(ms_since(r0));
    }
    const auto back = bench::summarize(backs), back_ref = bench::summarize(refs);

    std::printf("playback in a 960x540 view: %d of %d frames on time (%.1f %%), %zu drawings of %zu frames\n", on_time, expected,
        share, shown.size(), offsets.size());
    std::printf("  CPU: player %.2f s, ffmpeg decoding %.2f s (%.0f ms wall) -> ratio %.2f (goal <= 2.0)\n", play_cpu, ref_cpu, ref_wall,
        ref_cpu > 0 ? play_cpu / ref_cpu : 0.0);
    std::printf("frame back: median %.1f ms, decoding from the keyframe %.1f ms -> ratio %.2f (goal <= 1.2)\n", back.median_ms,
        back_ref.median_ms, back_ref.median_ms > 0 ? back.median_ms / back_ref.median_ms : 0.0);
    std::printf("opening: median %.1f ms to the first frame, thumbnail %.1f ms -> ratio %.2f (goal <= 2.0)\n", open.median_ms,
        thumb.median_ms, thumb.median_ms > 0 ? open.median_ms / thumb.median_ms : 0.0);
    view.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
