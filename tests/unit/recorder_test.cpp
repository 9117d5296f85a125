// The live recording's state machine on the fake stream, with virtual time.
#include "base/config.h"
#include "base/util.h"
#include "base/state.h"
#include "base/xdg.h"
#include "base/publish.h"
#include "platform/fake/capture_stream_fake.h"
#include "cards/card_layout.h"
#include "record/recorder.h"
#include "record/video_editor_rules.h"
#include "test_util.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace recorder;

namespace {

// Every name in a folder, hidden ones too, in order.
std::vector<std::string> listing(const fs::path& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    std::ranges::sort(names);
    return names;
}

struct FakeControls final : Controls {
    std::vector<std::string>* log;
    explicit FakeControls(std::vector<std::string>* l) : log(l) { }
    void show_countdown(std::uint32_t n) override { log->push_back("cuenta " + std::to_string(n)); }
    void set_time(const std::string& t) override { log->push_back("tiempo " + t); }
    void hide() override { log->push_back("ocultar"); }
    void close() override { log->push_back("cerrar"); }
};

struct FakePanel final : InputPanel {
    std::uint32_t id;
    bool* stopped;
    FakePanel(std::uint32_t i, bool* s) : id(i), stopped(s) { }
    std::optional<std::uint32_t> window_id() const override { return id; }
    void stop() override { *stopped = true; }
};

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_old_config = state::config();
        config::Config cfg;
        cfg.save_dir = (m_dir.path() / "capturas").string();
        cfg.recording.countdown_seconds = 0;
        cfg.recording.show_clicks = false;
        set_config(cfg);

        Services& s = services();
        s.after = [this](double secs, Job job) { m_timers.emplace(std::pair(m_now + secs, m_seq++), std::move(job)); };
        s.post = [this](Job job) {
            std::lock_guard lock(m_mutex);
            m_posted.push_back(std::move(job));
        };
        s.now = [this] { return Clock::time_point() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_now + 1000)); };
        s.screens = [] {
            platform::Screen sc;
            sc.display_id = 1;
            sc.frame = { 0, 0, 1920, 1080 };
            sc.visible_frame = { 0, 0, 1920, 1050 };
            return std::vector { sc };
        };
        s.create_stream = [this](platform::ContentFilter f, platform::StreamConfiguration c,
                              std::shared_ptr<platform::StreamListener> l)
            -> std::expected<std::unique_ptr<platform::CaptureStream>, std::string> {
            auto made = platform::create_capture_stream_fake(std::move(f), std::move(c), std::move(l), m_script);
            if (!made)
                return std::unexpected(made.error());
            m_stream = made->get();
            ++m_streams;
            return std::unique_ptr<platform::CaptureStream>(std::move(*made));
        };
        s.codecs = [] { return std::vector { platform::VideoCodec::H264 }; };
        s.with_content = [this](std::move_only_function<void(capture::Content, bool)> next) {
            if (m_hold_content)
                m_refreshes.push_back([n = std::make_shared<decltype(next)>(std::move(next))](capture::Content c) { (*n)(c, false); });
            else
                next(m_content, false);
        };
        s.refresh = [this](capture::Waiter w) { m_refreshes.push_back(std::move(w)); };
        s.make_controls = [this](const platform::RectF& area, const platform::RectF&, bool has_region) {
            m_area = area;
            m_ui.push_back(has_region ? "borde" : "sin borde");
            return std::make_unique<FakeControls>(&m_ui);
        };
        s.accessibility_trusted = [] { return true; };
        s.toast = [this](std::string_view, std::string_view text, double) { m_toasts.emplace_back(text); };
        // Sealing as the real one does for files of whole fragments: a
        // finished file is kept as it is; a broken one keeps what precedes
        // "|" (the cut of its last whole fragment), nothing when nothing does.
        s.seal = [this](const fs::path& tmp, Ending ending, std::function<void(std::expected<recorder::Sealed, recorder::SealFailure>)> then) {
            m_done.push_back(ending == Ending::Finished ? "sellar" : "sellar roto");
            if (m_hold_seal) {
                m_seals.push_back([this, tmp, then = std::move(then)] {
                    then(recorder::Sealed { tmp, nullptr, m_sealed_length });
                });
                return;
            }
            std::string bytes = testing_support::read_file(tmp);
            if (ending == Ending::Broken)
                bytes = bytes.substr(0, bytes.find('|') == std::string::npos ? 0 : bytes.find('|'));
            if (bytes.empty()) {
                fs::remove(tmp);
                then(std::unexpected(recorder::SealFailure { "no quedó ningún fragmento completo", {} }));
                return;
            }
            testing_support::write_file(tmp, bytes);
            then(recorder::Sealed { tmp, nullptr, m_sealed_length });
        };
        s.capture_name = [] { return std::string("Vistrope 2026-01-05 a las 09.03.07"); };
        s.snapshot = [this](std::uint32_t, std::optional<platform::RectF>, double, FlashContinuation next) {
            m_done.push_back(next ? "flash+seguir" : "flash");
            if (next)
                next(std::nullopt);
        };
        s.play_flash = [this](const flash::Origin&) { m_done.push_back("volar"); };
        s.copy_file = [this](const fs::path&) { m_done.push_back("copiar"); };
        s.reveal = [this](const fs::path&) { m_done.push_back("mostrar"); };
        s.show_video = [this](const fs::path& p, std::optional<flash::Origin>) { m_done.push_back("tarjeta " + p.filename().string()); };
        s.make_gif = [this](const fs::path& src, video::GifSettings g, const fs::path& dst, std::shared_ptr<void> hold) {
            m_gif_hold = std::move(hold);
            m_done.push_back(fmt::format("gif {} -> {} a {} cps", publish::is_temporary_name(src.filename().string()) ? "temporal" : "otro",
                dst.filename().string(), g.fps));
        };
        s.take_escape = [this](Job pressed) -> std::shared_ptr<void> {
            m_escape = std::move(pressed);
            auto held = std::make_shared<int>(0);
            m_escape_held = held;
            return held;
        };
        s.hold_still_pictures = [this] {
            auto held = std::make_shared<int>(0);
            m_stills_held = held;
            return held;
        };
        s.after_screen_settles = [this](Job job) {
            ++m_settles;
            if (m_hold_settle)
                m_settled.push_back(std::move(job));
            else
                services().post(std::move(job));
        };
        s.release = [this](Job let_go, Job then) {
            if (m_hold_release) {
                m_released.emplace_back(std::move(let_go), std::move(then));
                return;
            }
            let_go();
            services().post(std::move(then));
        };

        auto content = std::make_shared<platform::ShareableContent>();
        platform::ShareableDisplay d;
        d.display_id = 1;
        d.frame = { 0, 0, 1920, 1080 };
        content->displays.push_back(d);
        content->applications.push_back({ ::getpid() });
        m_content = content;
    }

    void TearDown() override
    {
        if (const Session* r = session())
            teardown(r->id);
        pump();
        reset_services();
        state::set_config(m_old_config);
    }

    void set_config(const config::Config& cfg) { state::set_config(std::make_shared<config::Config>(cfg)); }
    config::Config cfg() const { return *state::config(); }

    // Runs what the stream's threads posted until nothing more comes.
    void pump()
    {
        for (;;) {
            if (m_stream && session() && session()->stream.get() == m_stream)
                m_stream->drain();
            std::vector<Job> jobs;
            {
                std::lock_guard lock(m_mutex);
                jobs.swap(m_posted);
            }
            if (jobs.empty())
                return;
            for (auto& j : jobs)
                j();
        }
    }

    // Moves virtual time on, running due timers in order (and what they post).
    void advance(double secs)
    {
        const double end = m_now + secs;
        pump();
        while (!m_timers.empty() && m_timers.begin()->first.first <= end + 1e-9) {
            auto node = m_timers.extract(m_timers.begin());
            m_now = std::max(m_now, node.key().first);
            node.mapped()();
            pump();
        }
        m_now = end;
    }

    void answer_refresh(capture::Content c)
    {
        ASSERT_FALSE(m_refreshes.empty());
        auto w = std::move(m_refreshes.front());
        m_refreshes.erase(m_refreshes.begin());
        w(std::move(c));
        pump();
    }

    // Starts a 640 × 400 region recording and writes the file the output would.
    void start_region(bool gif = false)
    {
        start_inner(1, platform::RectF { 100, 80, 640, 400 }, std::nullopt, 1.0,
            gif ? actions::RecordingFormat::Gif : actions::RecordingFormat::Video);
        pump();
    }
    void write_output(std::string_view bytes = "mp4 bytes")
    {
        ASSERT_NE(session(), nullptr);
        testing_support::write_file(session()->path, bytes);
    }
    bool has(const std::vector<std::string>& v, std::string_view s) const { return std::ranges::find(v, s) != v.end(); }

    testing_support::TempDir m_dir;
    testing_support::ScopedEnv m_state { "XDG_STATE_HOME", (m_dir.path() / "estado").string() };
    std::shared_ptr<void> m_gif_hold;
    std::shared_ptr<const config::Config> m_old_config;
    double m_now = 0;
    int m_seq = 0;
    std::map<std::pair<double, int>, Job> m_timers;
    std::mutex m_mutex;
    std::vector<Job> m_posted;
    platform::CaptureStreamScript m_script { .frames = 2 };
    platform::CaptureStreamFake* m_stream = nullptr;
    int m_streams = 0;
    capture::Content m_content;
    bool m_hold_content = false;
    double m_sealed_length = std::numeric_limits<double>::quiet_NaN(); // what the sealed file reads as
    bool m_hold_release = false;
    bool m_hold_seal = false;
    std::vector<Job> m_seals; // held seals of finished files: each hands its file on when run
    bool m_hold_settle = false;
    int m_settles = 0;
    std::vector<Job> m_settled;
    std::vector<std::pair<Job, Job>> m_released; // letting the stream go, then the main queue's job
    std::vector<capture::Waiter> m_refreshes;
    platform::RectF m_area;
    std::vector<std::string> m_ui, m_toasts, m_done;
    Job m_escape;
    std::weak_ptr<int> m_escape_held;
    std::weak_ptr<int> m_stills_held;
};

// What the recorder keeps is the main thread's: another thread gets no fresh
// copy of its own, it stops.
TEST(RecorderState, OffTheMainThreadStops)
{
    std::optional<std::string> message;
    const std::uint32_t before = recorder::state().input_tries;
    std::thread([&] { message = testing_support::fatal_message([before] { recorder::state().input_tries = before + 99; }); }).join();
    EXPECT_EQ(message, "hilo principal");
    EXPECT_EQ(recorder::state().input_tries, before);
}

TEST_F(RecorderTest, TimeTextsGrowHoursFromAnHourOn)
{
    EXPECT_EQ(time_text(0), "00:00");
    EXPECT_EQ(time_text(61), "01:01");
    EXPECT_EQ(time_text(3599), "59:59");
    EXPECT_EQ(time_text(3600), "1:00:00");
    EXPECT_EQ(time_text(3601), "1:00:01");
    EXPECT_EQ(time_text(75 * 60), "1:15:00");
    // A region from the screen's top-left corner, in global bottom-left points.
    const auto a = global_area({ 1920, 0, 1280, 1024 }, platform::RectF { 10, 20, 300, 200 });
    EXPECT_EQ(a.x, 1930);
    EXPECT_EQ(a.y, 1024 - 20 - 200);
}

// Nothing is grabbed while the countdown's square may still be on the
// screen: the start waits for the screen to settle after the square is taken
// off. A stop meanwhile cancels, and the late settle starts nothing. Without
// a countdown there is nothing to wait for.
TEST_F(RecorderTest, TheStreamStartsOnlyOnceTheCountdownIsOffTheScreen)
{
    auto c = cfg();
    c.recording.countdown_seconds = 2;
    set_config(c);
    m_hold_settle = true;
    for (const bool cancel : { false, true }) {
        SCOPED_TRACE(cancel);
        m_settled.clear();
        start_region();
        ASSERT_NE(session(), nullptr);
        ASSERT_NE(session()->stream, nullptr);
        advance(2.0);
        EXPECT_EQ(m_ui.back(), "cuenta 0");
        ASSERT_EQ(m_settled.size(), 1u);
        EXPECT_FALSE(session()->start_requested);
        if (cancel) {
            stop();
            EXPECT_FALSE(running());
            EXPECT_EQ(m_toasts.back(), "Grabación cancelada");
        }
        for (auto& job : std::exchange(m_settled, {}))
            job();
        pump();
        if (!cancel) {
            ASSERT_NE(session(), nullptr);
            EXPECT_TRUE(session()->start_requested);
            EXPECT_TRUE(session()->started_at);
            stop();
            pump();
        }
        EXPECT_FALSE(running());
        advance(10);
    }
    EXPECT_EQ(m_settles, 2);
    c.recording.countdown_seconds = 0;
    set_config(c);
    start_region();
    ASSERT_NE(session(), nullptr);
    EXPECT_TRUE(session()->start_requested);
    EXPECT_EQ(m_settles, 2);
}

TEST_F(RecorderTest, AVideoCountsDownRecordsTicksStopsAndIsDelivered)
{
    auto c = cfg();
    c.recording.countdown_seconds = 25;
    set_config(c);
    start_region();
    ASSERT_TRUE(running());
    EXPECT_EQ(m_ui.at(0), "borde");
    EXPECT_EQ(m_ui.at(1), "cuenta 10");
    EXPECT_EQ(m_area.y, 1080 - 80 - 400);
    // Written to a hidden temporary beside its name until it is finished.
    EXPECT_EQ(session()->name.path, m_dir.path() / "capturas" / "Vistrope 2026-01-05 a las 09.03.07.mp4");
    EXPECT_EQ(session()->path.parent_path(), m_dir.path() / "capturas");
    EXPECT_TRUE(publish::is_temporary_name(session()->path.filename().string()));
    // The stream is ready long before the countdown ends, yet waits for it.
    ASSERT_NE(session()->stream, nullptr);
    advance(9.5);
    EXPECT_FALSE(session()->start_requested);
    EXPECT_EQ(m_ui.back(), "cuenta 1");
    advance(0.5);
    EXPECT_TRUE(session()->start_requested);
    EXPECT_TRUE(has(m_ui, "cuenta 0"));
    ASSERT_TRUE(session()->started_at);
    EXPECT_EQ(m_ui.back(), "tiempo 00:00");
    write_output();
    // While it is written, no launch may take it for abandoned, and the
    // journal names it wherever the capture folder goes.
    const fs::path state = xdg::state_dir();
    EXPECT_EQ(claim_abandoned(session()->path).error().kind, Refusal::Kind::Live);
    ASSERT_EQ(read_journal(state).size(), 1u);
    EXPECT_EQ(read_journal(state)[0].temporary, session()->path);
    advance(61.5);
    EXPECT_EQ(m_ui.back(), "tiempo 01:01");
    stop();
    pump();
    // The output's end report finished it at once; the watchdog finds nothing.
    EXPECT_FALSE(running());
    EXPECT_TRUE(has(m_ui, "ocultar"));
    EXPECT_EQ(m_ui.back(), "cerrar");
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar", "copiar", "flash+seguir", "tarjeta Vistrope 2026-01-05 a las 09.03.07.mp4" }));
    // 61.5 s: the capsule's clock shows the seconds gone by, the toast the
    // length rounded as the card rounds it.
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación guardada · 01:02" }));
    EXPECT_EQ(testing_support::read_file(m_dir.path() / "capturas" / "Vistrope 2026-01-05 a las 09.03.07.mp4"), "mp4 bytes");
    EXPECT_EQ(listing(m_dir.path() / "capturas"), (std::vector<std::string> { "Vistrope 2026-01-05 a las 09.03.07.mp4" }));
    EXPECT_TRUE(read_journal(state).empty());
    advance(10);
    EXPECT_EQ(m_toasts.size(), 1u);
    // A second recording in the same second gets the next name.
    start_region();
    EXPECT_EQ(session()->name.path.filename(), "Vistrope 2026-01-05 a las 09.03.07 (2).mp4");
}

// The stream's end waits for its writer: finishing lets it go elsewhere and
// delivers only once it is gone, so the main thread never waits for a file.
TEST_F(RecorderTest, FinishingDeliversOnlyAfterTheStreamIsLetGo)
{
    m_hold_release = true;
    start_region();
    write_output();
    advance(2.5);
    EXPECT_FALSE(m_stills_held.expired()); // still captures keep no pictures while it runs
    stop();
    pump();
    EXPECT_FALSE(running());
    EXPECT_TRUE(m_stills_held.expired()); // nor longer than the grab
    EXPECT_EQ(m_ui.back(), "cerrar");
    ASSERT_EQ(m_released.size(), 1u);
    EXPECT_TRUE(m_released[0].first);
    EXPECT_TRUE(m_done.empty());
    EXPECT_TRUE(m_toasts.empty());
    // A new recording may begin meanwhile; the old one keeps its own file.
    start_region();
    ASSERT_TRUE(running());
    EXPECT_EQ(session()->name.path.filename(), "Vistrope 2026-01-05 a las 09.03.07 (2).mp4");
    advance(3);
    m_released[0].first();
    m_released[0].second();
    pump();
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar", "copiar", "flash+seguir", "tarjeta Vistrope 2026-01-05 a las 09.03.07.mp4" }));
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación guardada · 00:03" })); // 2.5 s recorded, rounded as the card rounds
    EXPECT_TRUE(running());
}

// A recording that ended by itself just before the display went (its grab
// saw it first) is on its way to its name through jobs of the main queue,
// which will not run again: the rescue seals and publishes it at once, and
// those jobs, should they run after all, do nothing more.
TEST_F(RecorderTest, TheRescueCarriesAFinishingRecordingToItsName)
{
    m_hold_release = true;
    start_region();
    write_output();
    advance(2.5);
    stop();
    pump();
    ASSERT_FALSE(running());
    ASSERT_EQ(m_released.size(), 1u);
    // The stream is gone; its delivery waits in the main queue.
    m_released[0].first();
    services().post(std::move(m_released[0].second));
    EXPECT_TRUE(busy());
    rescue();
    EXPECT_FALSE(busy());
    const fs::path dir = m_dir.path() / "capturas";
    EXPECT_EQ(listing(dir), (std::vector<std::string> { "Vistrope 2026-01-05 a las 09.03.07.mp4" }));
    EXPECT_EQ(testing_support::read_file(dir / "Vistrope 2026-01-05 a las 09.03.07.mp4"), "mp4 bytes");
    pump();
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar" }));
    EXPECT_TRUE(m_toasts.empty());
    EXPECT_EQ(listing(dir).size(), 1u);
}

// A seal already under way on another thread is waited for, not made
// twice, and what it made is published before the rescue returns.
TEST_F(RecorderTest, TheRescueWaitsForASealUnderWay)
{
    m_hold_seal = true;
    start_region();
    write_output();
    advance(2.5);
    stop();
    pump();
    ASSERT_EQ(m_seals.size(), 1u);
    std::thread sealer(std::move(m_seals[0]));
    rescue();
    sealer.join();
    const fs::path dir = m_dir.path() / "capturas";
    EXPECT_EQ(listing(dir), (std::vector<std::string> { "Vistrope 2026-01-05 a las 09.03.07.mp4" }));
    pump();
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar" }));
    EXPECT_TRUE(m_toasts.empty());
}

TEST_F(RecorderTest, AStopBeforeTheStartIsRequestedCancels)
{
    // In the countdown.
    auto c = cfg();
    c.recording.countdown_seconds = 3;
    set_config(c);
    start_region();
    testing_support::write_file(session()->path, "");
    const fs::path first = session()->path;
    advance(1);
    stop();
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación cancelada" }));
    EXPECT_FALSE(fs::exists(first));
    advance(5);
    EXPECT_TRUE(m_done.empty());
    EXPECT_EQ(m_ui.back(), "cerrar");

    // While the stream is still being prepared (no countdown, no content yet).
    c.recording.countdown_seconds = 0;
    set_config(c);
    m_hold_content = true;
    m_streams = 0;
    start_region();
    ASSERT_EQ(session()->stream, nullptr);
    stop();
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts.back(), "Grabación cancelada");
    // The content arriving late builds nothing.
    answer_refresh(m_content);
    EXPECT_EQ(m_streams, 0);
    EXPECT_TRUE(m_done.empty());
}

// Escape is taken for the countdown only: a press in it cancels; once the
// recording runs, the recorded programs have their Escape back.
TEST_F(RecorderTest, EscapeIsHeldForTheCountdownAndCancelsIt)
{
    auto c = cfg();
    c.recording.countdown_seconds = 3;
    set_config(c);
    start_region();
    ASSERT_TRUE(m_escape);
    EXPECT_FALSE(m_escape_held.expired());
    EXPECT_FALSE(m_stills_held.expired());
    advance(1);
    m_escape();
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación cancelada" }));
    EXPECT_TRUE(m_escape_held.expired());
    EXPECT_TRUE(m_stills_held.expired());
    EXPECT_TRUE(listing(m_dir.path() / "capturas").empty());

    m_escape = nullptr;
    start_region();
    advance(3);
    ASSERT_TRUE(session() && session()->start_requested);
    EXPECT_TRUE(m_escape_held.expired());
    m_escape(); // a late press finds a running recording: nothing
    EXPECT_TRUE(running());

    // Without a countdown nothing is taken.
    stop();
    pump();
    m_escape = nullptr;
    c.recording.countdown_seconds = 0;
    set_config(c);
    start_region();
    EXPECT_FALSE(m_escape);
}

// The selector's whole screen comes as a region: it is drawn as the screen,
// without an outline that would lie wholly off it.
TEST_F(RecorderTest, ARegionOfTheWholeScreenHasNoOutline)
{
    start_inner(1, platform::RectF { 0, 0, 1920, 1080 }, std::nullopt, 1.0);
    pump();
    ASSERT_TRUE(running());
    EXPECT_EQ(m_ui.at(0), "sin borde");
    stop();
    pump();
}

TEST_F(RecorderTest, ASecondStopAndASecondRecordingDoNothing)
{
    m_script.never_finish = true;
    start_region();
    write_output();
    start_inner(1, std::nullopt, std::nullopt, 1.0);
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Ya hay una grabación en curso" }));
    const std::uint64_t id = session()->id;
    stop();
    const auto timers = m_timers.size();
    stop();
    EXPECT_EQ(m_timers.size(), timers);
    pump();
    // No end report: the watchdog finishes it 5 s after the stop, and a file
    // the output never completed, without one whole fragment, is not delivered.
    advance(4.9);
    ASSERT_TRUE(running());
    advance(0.1);
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts.back(), "No se pudo guardar la grabación");
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar roto" }));
    EXPECT_TRUE(listing(m_dir.path() / "capturas").empty());

    // Old reports and timers leave a newer recording alone.
    m_script.never_finish = false;
    start_region();
    ASSERT_NE(session()->id, id);
    report({ Report::Kind::RecordingFinished, id, {} });
    report({ Report::Kind::StreamStopped, id, "x" });
    finish(id);
    EXPECT_TRUE(running());
    EXPECT_FALSE(session()->stopping);
}

TEST_F(RecorderTest, AStreamThatStopsByItselfFinishesThreeSecondsLater)
{
    m_script.stop_error = "pantalla desconectada";
    m_script.never_finish = true;
    start_region();
    EXPECT_TRUE(session()->stopping);
    EXPECT_TRUE(has(m_ui, "ocultar"));
    advance(2.9);
    EXPECT_TRUE(running());
    advance(0.1);
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts.back(), "No se pudo guardar la grabación");
}

TEST_F(RecorderTest, AFailedStartThrowsEverythingAway)
{
    m_script.start_error = "sin permiso";
    start_inner(1, platform::RectF { 100, 80, 640, 400 }, std::nullopt, 1.0);
    ASSERT_TRUE(running());
    testing_support::write_file(session()->path, "");
    const fs::path path = session()->path;
    pump();
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "No se pudo grabar" }));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(m_ui.back(), "cerrar");
    EXPECT_TRUE(m_done.empty());
}

// A writer that fails (a full disk) says so with its cause, and what it
// wrote up to its last whole fragment is kept under a name that says it is
// incomplete and offered like any recording, the toast naming it and its
// length; nothing unplayable is offered.
TEST_F(RecorderTest, AFailureAfterRecordingBeganKeepsTheWholeFragmentsAsIncomplete)
{
    const fs::path folder = m_dir.path() / "capturas";
    m_script = { .frames = 4, .fail_after_frames = 3, .failure = "al escribir x.mp4: " + util::error_text(ENOSPC) };
    m_hold_content = true;
    m_sealed_length = 6.04; // what the kept fragments hold
    start_region();
    write_output("fragmentos|medio fragmento");
    answer_refresh(m_content);
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación incompleta: el disco está lleno · 00:06" }));
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar roto", "copiar", "flash+seguir", "tarjeta Vistrope 2026-01-05 a las 09.03.07 (incompleta).mp4" }));
    EXPECT_EQ(listing(folder), (std::vector<std::string> { "Vistrope 2026-01-05 a las 09.03.07 (incompleta).mp4" }));
    EXPECT_EQ(testing_support::read_file(folder / "Vistrope 2026-01-05 a las 09.03.07 (incompleta).mp4"), "fragmentos");

    // Nothing whole before the failure: no file, no card; a failure of no
    // known cause says what it can.
    m_toasts.clear();
    m_done.clear();
    m_script.failure = "codificador: error";
    start_region();
    write_output("medio fragmento");
    answer_refresh(m_content);
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "No se pudo guardar la grabación" }));
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar roto" }));
    EXPECT_EQ(listing(folder).size(), 1u);
}

TEST_F(RecorderTest, AGifRecordingOnlyReachesTheConverter)
{
    auto c = cfg();
    c.recording.reveal_in_folder = true;
    c.recording.system_audio = true;
    c.recording.fps = 60;
    c.recording.gif_fps = 12;
    set_config(c);
    fs::create_directories(m_dir.path() / "capturas");
    testing_support::write_file(m_dir.path() / "capturas" / "Vistrope 2026-01-05 a las 09.03.07.gif", "GIF89a");
    start_region(true);
    ASSERT_NE(m_stream, nullptr);
    EXPECT_EQ(m_stream->configuration().minimum_frame_interval.timescale, 30);
    EXPECT_FALSE(m_stream->configuration().captures_audio);
    EXPECT_EQ(session()->path.parent_path(), m_dir.path() / "capturas");
    write_output();
    stop();
    pump();
    EXPECT_FALSE(running());
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar", "flash", "gif temporal -> Vistrope 2026-01-05 a las 09.03.07 (2).gif a 12 cps" }));
    EXPECT_TRUE(m_toasts.empty());
    // The MP4 stays held and noted while the conversion reads it; once the
    // conversion has removed it and let go, its note goes too.
    const auto left = listing(m_dir.path() / "capturas");
    const auto mp4 = std::ranges::find_if(left, [](const std::string& n) { return publish::is_temporary_name(n); });
    ASSERT_NE(mp4, left.end());
    const fs::path source = m_dir.path() / "capturas" / *mp4;
    EXPECT_EQ(claim_abandoned(source).error().kind, Refusal::Kind::Live);
    ASSERT_EQ(read_journal(xdg::state_dir()).size(), 1u);
    fs::remove(source);
    m_gif_hold.reset();
    EXPECT_TRUE(read_journal(xdg::state_dir()).empty());
}

TEST_F(RecorderTest, AGifRecordingIntoAFolderThatLoopsFailsAtOnceAndSaysSo)
{
    // The recording is written where it will be published: a folder that
    // cannot be looked up ends it before it starts, with no throw and a word.
    fs::create_directory_symlink("loop", m_dir.path() / "loop");
    auto c = cfg();
    c.save_dir = (m_dir.path() / "loop" / "capturas").string();
    set_config(c);
    ASSERT_NO_THROW(start_region(true));
    ASSERT_NO_THROW(pump());
    EXPECT_EQ(m_stream, nullptr);
    EXPECT_FALSE(running());
    ASSERT_FALSE(m_toasts.empty());
    EXPECT_EQ(m_toasts.back(), "No se pudo grabar: la carpeta no existe");
}

// No sound server: the recording goes on, and the toast says why it is silent.
TEST_F(RecorderTest, ASoundThatCannotBeRecordedIsSaidAndTheRecordingGoesOn)
{
    start_region();
    ASSERT_TRUE(running());
    report(Report { Report::Kind::SoundUnavailable, session()->id, "no hay servidor de sonido" });
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación sin sonido: no hay servidor de sonido" }));
    EXPECT_TRUE(running());
}

// The toast gives the length the card and the trim window read from the
// file, rounded the one way all three round; a sound input that ends while
// recording is told in it, with when.
TEST_F(RecorderTest, TheToastTellsTheFilesLengthAndASoundInputLostOnTheWay)
{
    m_sealed_length = 15.74;
    start_region();
    write_output();
    advance(3.4);
    report(Report { Report::Kind::SoundLost, session()->id, {}, 0 });
    advance(12);
    stop();
    pump();
    ASSERT_EQ(m_toasts, (std::vector<std::string> { "Grabación guardada · 00:16 · sin sonido del sistema desde 00:03" }));
    EXPECT_EQ(quick_access::duration_badge(15.74), "0:16");
    EXPECT_EQ(video_editor::full_label(15.74), "Video completo · 0:16");
    // Half a second rounds up everywhere; what is no length counts as none.
    EXPECT_EQ(util::whole_seconds(0.49), 0u);
    EXPECT_EQ(util::whole_seconds(0.5), 1u);
    EXPECT_EQ(quick_access::duration_badge(3599.5), "1:00:00");
    EXPECT_EQ(video_editor::full_label(59.6), "Video completo · 1:00");
    for (const double none : { -3.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity() })
        EXPECT_EQ(util::whole_seconds(none), 0u) << none;

    // Both inputs, the microphone first; a loss once stopping is the stop's own.
    m_toasts.clear();
    m_sealed_length = std::numeric_limits<double>::quiet_NaN(); // unreadable: the time recorded stands in
    start_region();
    write_output();
    advance(1.2);
    report(Report { Report::Kind::SoundLost, session()->id, {}, 1 });
    advance(1.0);
    report(Report { Report::Kind::SoundLost, session()->id, {}, 0 });
    advance(2.4);
    stop();
    EXPECT_EQ(session()->sound_lost, recorder::SOUND_SYSTEM | recorder::SOUND_MICROPHONE);
    pump();
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación guardada · 00:05 · sin sonido desde 00:01" }));

    m_toasts.clear();
    start_region();
    write_output();
    advance(2);
    const std::uint64_t id = session()->id;
    stop();
    report(Report { Report::Kind::SoundLost, id, {}, 1 });
    pump();
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación guardada · 00:02" }));

    EXPECT_EQ(recorder::ending_text(6, true, std::nullopt, recorder::SOUND_MICROPHONE, 4), "Grabación incompleta · 00:06 · sin micrófono desde 00:04");
}

TEST_F(RecorderTest, WithoutCardOrClipboardAVideoFlashesAndRevealsAsSet)
{
    auto c = cfg();
    c.after_capture.copy_to_clipboard = false;
    c.after_capture.show_quick_access = false;
    c.recording.reveal_in_folder = true;
    set_config(c);
    services().snapshot = [this](std::uint32_t, std::optional<platform::RectF>, double, FlashContinuation next) {
        next(flash::Origin { { 0, 0, 10, 10 }, std::nullopt, 0 });
    };
    start_region();
    write_output();
    stop();
    pump();
    EXPECT_EQ(m_done, (std::vector<std::string> { "sellar", "volar", "mostrar" }));
}

// With no window of ours mapped (a whole-screen recording before its
// capsule) the content lists no app of ours: the recording starts at once,
// leaving this process out by its pid.
TEST_F(RecorderTest, ContentWithoutAWindowOfOursStillRecords)
{
    auto none = std::make_shared<platform::ShareableContent>(*m_content);
    none->applications.clear();
    m_content = none;
    start_inner(1, std::nullopt, std::nullopt, 1.0);
    pump();
    EXPECT_TRUE(m_refreshes.empty());
    ASSERT_EQ(m_streams, 1);
    EXPECT_EQ(m_stream->filter().excluded_applications, (std::vector<std::int64_t> { ::getpid() }));
    ASSERT_TRUE(running());
    EXPECT_TRUE(session()->started_at);
    stop();
    pump();
    EXPECT_FALSE(running());

    // No content at all, or a display the content does not list.
    m_content = nullptr;
    start_region();
    EXPECT_FALSE(running());
    start_inner(9, std::nullopt, std::nullopt, 1.0);
    EXPECT_FALSE(running()) << "no screen has display 9";
}

TEST_F(RecorderTest, TheKeysPanelIsWaitedForFourTimes)
{
    auto c = cfg();
    c.recording.show_clicks = true;
    set_config(c);
    bool stopped = false;
    services().start_input = [&](const platform::RectF&, const platform::RectF&, std::uint32_t flags, double) {
        EXPECT_EQ(flags, SHOW_CLICKS);
        return std::make_unique<FakePanel>(77, &stopped);
    };
    auto listed = std::make_shared<platform::ShareableContent>(*m_content);
    platform::ShareableWindow panel;
    panel.window_id = 77;
    panel.pid = ::getpid();
    panel.on_screen = true;
    listed->windows.push_back(panel);

    // Listed at the third wait: excepted from the filter.
    start_region();
    answer_refresh(m_content); // the first fetch
    for (double wait : { 0.08, 0.16 }) {
        advance(wait - 0.001);
        EXPECT_TRUE(m_refreshes.empty());
        advance(0.001);
        answer_refresh(m_content);
    }
    advance(0.24);
    answer_refresh(listed);
    ASSERT_NE(m_stream, nullptr);
    EXPECT_EQ(m_stream->filter().excepted_windows, (std::vector<std::uint32_t> { 77 }));
    stop();
    EXPECT_TRUE(stopped);
    pump();

    // Never listed: the fifth miss records without it.
    m_stream = nullptr;
    start_region();
    answer_refresh(m_content);
    for (double wait : { 0.08, 0.16, 0.24, 0.32 }) {
        advance(wait);
        answer_refresh(m_content);
    }
    ASSERT_NE(m_stream, nullptr);
    EXPECT_TRUE(m_stream->filter().excepted_windows.empty());
    EXPECT_TRUE(session()->start_requested);
}

TEST_F(RecorderTest, KeysWithoutTrustAreDroppedWithAHint)
{
    auto c = cfg();
    c.recording.show_keys = true;
    c.recording.show_all_keys = true;
    set_config(c);
    bool stopped = false;
    std::optional<std::uint32_t> asked;
    services().accessibility_trusted = [] { return false; };
    services().start_input = [&](const platform::RectF&, const platform::RectF&, std::uint32_t flags, double) {
        asked = flags;
        return std::make_unique<FakePanel>(5, &stopped);
    };
    start_region();
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Para mostrar teclas, el servidor X necesita XInput 2 y XTEST" }));
    EXPECT_EQ(asked, std::nullopt) << "no clicks and no keys: no overlay";
}

} // namespace
