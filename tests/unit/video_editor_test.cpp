// The trim-and-export window against the scripted media backend and the fake
// player view: building, trimming, names of exports, the busy machine and
// closing while an export runs.
#include "record/video_editor.h"

#include "base/config.h"
#include "base/state.h"
#include "cards/quick_access.h"
#include "platform/fake/media_fake.h"
#include "platform/fake/video_player_fake.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using platform::MediaFake;
using platform::TrimOutcome;
using platform::VideoPlayerViewFake;
using testing_support::TempDir;
using testing_support::TempHome;
using testing_support::wait_until;

namespace {

struct Toast {
    std::string symbol, text;
};

class VideoEditorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        auto settings = std::make_shared<config::Config>(*state::config());
        settings->after_capture.copy_to_clipboard = false;
        settings->save_dir = m_dir.path().string();
        state::set_config(settings);
        auto sink = [this](std::string_view symbol, std::string_view text, double) {
            m_toasts.push_back({ std::string(symbol), std::string(text) });
        };
        video_editor::set_toast_sink(sink);
        video::set_toast_sink(sink);
        video_editor::set_player_factory([this](const fs::path&) {
            auto view = std::make_unique<VideoPlayerViewFake>(m_script.probe ? m_script.probe->duration : 0);
            m_player = view.get();
            return view;
        });
        video_editor::set_screen_area([] { return std::optional(video_editor::Size { 1920, 1080 }); });
    }
    void TearDown() override
    {
        testing_support::from_event_loop([] {
            for (auto& e : std::vector(video_editor::editors()))
                e->window->close();
        });
        for (VistropeQuickCard* c : std::vector(quick_access::cards()))
            c->close();
        testing_support::pump_for(50);
        video_editor::set_player_factory(nullptr);
        video_editor::set_toast_sink(nullptr);
        video_editor::set_screen_area(nullptr);
        video::set_toast_sink(nullptr);
        video::set_media(nullptr);
        state::reset_for_tests();
    }

    // A 10 s 1280 × 720 video with sound and a sample every 0.5 s.
    std::shared_ptr<video_editor::VideoEditor> open(bool sound = true)
    {
        m_script.probe = platform::MediaProbe { 1280, 720, 0, 10.0, sound };
        for (int k = 0; k < 20; ++k)
            m_script.times.push_back(k * 0.5);
        m_media = std::make_shared<MediaFake>(m_script);
        video::set_media(m_media);
        auto editor = video_editor::build(m_source);
        if (editor)
            video_editor::editors().push_back(editor);
        return editor;
    }

    bool has_toast(std::string_view text) const
    {
        return std::ranges::any_of(m_toasts, [&](const Toast& t) { return t.text == text; });
    }

    TempHome m_home;
    TempDir m_dir;
    fs::path m_source = m_dir.path() / "Vistrope 2025-03-01 a las 10.00.00.mp4";
    MediaFake::Script m_script;
    std::shared_ptr<MediaFake> m_media;
    VideoPlayerViewFake* m_player = nullptr;
    std::vector<Toast> m_toasts;
};

} // namespace

TEST_F(VideoEditorTest, BuildsTheWindowWithTheFullLabelAndTheBarInPlace)
{
    auto e = open();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->range_label->text().toStdString(), "Video completo · 0:10");
    EXPECT_FALSE(e->reset_button->isEnabled());
    EXPECT_TRUE(e->mute_box->isEnabled());
    EXPECT_EQ(e->window->windowTitle().toStdString(), "Vistrope — Editar video — Vistrope 2025-03-01 a las 10.00.00.mp4");
    const auto want = video_editor::window_size({ 1280, 720 }, video_editor::available_area(video_editor::Size { 1920, 1080 }),
        e->bar_layout.min_width);
    EXPECT_EQ(e->window->width(), int(want.width));
    EXPECT_EQ(e->window->height(), int(want.height));
    EXPECT_EQ(e->mp4_button->geometry().right() + 1, e->window->width() - 14);
    EXPECT_EQ(e->player_view->geometry(), QRect(0, 0, e->window->width(), e->window->height() - 52));
    // Widening keeps the left group and carries the right one along.
    e->window->show();
    auto* trim_button = e->window->findChild<QPushButton*>("trim");
    ASSERT_TRUE(trim_button);
    const QRect trim = trim_button->geometry();
    e->window->resize(e->window->width() + 200, e->window->height());
    EXPECT_EQ(trim_button->geometry(), trim);
    EXPECT_EQ(e->mp4_button->geometry().right() + 1, e->window->width() - 14);
    EXPECT_EQ(e->window->minimumWidth(), int(e->bar_layout.min_width));
}

TEST_F(VideoEditorTest, AnUnreadableFileOpensNoWindow)
{
    m_script.probe.reset();
    m_media = std::make_shared<MediaFake>(m_script);
    video::set_media(m_media);
    video_editor::open(m_source);
    EXPECT_TRUE(video_editor::editors().empty());
    EXPECT_TRUE(has_toast("No se pudo abrir el video"));
}

TEST_F(VideoEditorTest, TrimsAreConfirmedCancelledAndForgotten)
{
    auto e = open();
    ASSERT_TRUE(e && m_player);
    // Before the first frame: one retry, then the toast.
    e->begin_trim();
    EXPECT_FALSE(m_player->trimming());
    ASSERT_TRUE(wait_until([&] { return has_toast("Este video no se puede recortar"); }, 3000));
    EXPECT_FALSE(m_player->trimming());

    // A first frame in time for the retry: the trim opens, paused.
    e->begin_trim();
    m_player->show_first_frame();
    ASSERT_TRUE(wait_until([&] { return m_player->trimming(); }, 3000));
    EXPECT_EQ(m_player->calls().back(), "trim");
    EXPECT_EQ(m_player->calls().end()[-2], "pause");
    EXPECT_FALSE(m_player->can_begin_trimming());

    // Asked again while the bar is open: it stays open, and no error shows.
    e->begin_trim();
    const auto refusals = [&] { return std::ranges::count_if(m_toasts, [](const Toast& t) { return t.text == "Este video no se puede recortar"; }); };
    EXPECT_SOON(m_player->trimming() && refusals() >= 1);
    EXPECT_EQ(refusals(), 1);

    ASSERT_TRUE(m_player->finish_trim(TrimOutcome::Confirmed, 1.04, 4.0));
    EXPECT_EQ(e->range_label->text().toStdString(), "0:01.0 – 0:04.0 · 3.0 s");
    EXPECT_TRUE(e->reset_button->isEnabled());
    EXPECT_EQ(e->range, (video_editor::Range { 1.04, 4.0 }));

    // Cancelling keeps the trim.
    e->begin_trim();
    ASSERT_TRUE(m_player->finish_trim(TrimOutcome::Cancelled));
    EXPECT_EQ(e->range, (video_editor::Range { 1.04, 4.0 }));

    // An end beyond the file is clamped to it.
    e->begin_trim();
    ASSERT_TRUE(m_player->finish_trim(TrimOutcome::Confirmed, 2.0, 25.0));
    EXPECT_EQ(e->range, (video_editor::Range { 2.0, 10.0 }));

    // "Todo": the whole video again, for the label and for the player.
    e->ve_reset();
    EXPECT_FALSE(e->range);
    EXPECT_EQ(e->range_label->text().toStdString(), "Video completo · 0:10");
    EXPECT_FALSE(e->reset_button->isEnabled());
    EXPECT_FALSE(m_player->forward_end());
    EXPECT_FALSE(m_player->reverse_end());

    // A trim that keeps nearly everything is no trim.
    e->begin_trim();
    ASSERT_TRUE(m_player->finish_trim(TrimOutcome::Confirmed, 0.03, 9.98));
    EXPECT_FALSE(e->range);
    EXPECT_FALSE(m_player->forward_end());
    EXPECT_FALSE(e->reset_button->isEnabled());
}

TEST_F(VideoEditorTest, SiblingsAreNumberedAndFallBackToTheCaptureFolder)
{
    const fs::path first = video_editor::sibling(m_source, "mp4");
    EXPECT_EQ(first, m_dir.path() / "Vistrope 2025-03-01 a las 10.00.00 (recortado).mp4");
    testing_support::write_file(first, "x");
    EXPECT_EQ(video_editor::sibling(m_source, "mp4"), m_dir.path() / "Vistrope 2025-03-01 a las 10.00.00 (recortado) (2).mp4");
    EXPECT_EQ(video_editor::sibling(m_source, "gif"), m_dir.path() / "Vistrope 2025-03-01 a las 10.00.00 (recortado).gif");
    EXPECT_EQ(video_editor::sibling("clip.mp4", "gif"), m_dir.path() / "clip (recortado).gif");
}

// An export is named after what it did: a trim as "recortado"; without one,
// the sound taken out or the size changed; nothing changed, a copy.
TEST_F(VideoEditorTest, AnExportIsNamedAfterWhatItDid)
{
    auto e = open();
    ASSERT_TRUE(e && m_player);
    m_player->show_first_frame();
    e->mute_box->setChecked(true);
    e->export_mp4();
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 5000));
    e->mute_box->setChecked(false);
    e->export_mp4();
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 5000));
    const auto written = m_media->export_destinations();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].filename(), "Vistrope 2025-03-01 a las 10.00.00 (sin audio).mp4");
    EXPECT_EQ(written[1].filename(), "Vistrope 2025-03-01 a las 10.00.00 (copia).mp4");
    EXPECT_EQ(video_editor::export_note(false, true, 2), "sin audio, 720p");
    EXPECT_EQ(video_editor::export_note(false, false, 1), "1080p");
    EXPECT_EQ(video_editor::export_note(true, true, 2), "recortado");
}

TEST_F(VideoEditorTest, Mp4ExportTakesTheChoicesAndIsBusyUntilItsCompletion)
{
    auto e = open();
    ASSERT_TRUE(e && m_player);
    m_player->show_first_frame();
    e->begin_trim();
    m_player->finish_trim(TrimOutcome::Confirmed, 1.0, 4.0);
    e->mute_box->setChecked(true);
    e->resolution_popup->setCurrentIndex(2);

    e->mp4_button->click();
    EXPECT_TRUE(e->busy);
    EXPECT_FALSE(e->mp4_button->isEnabled());
    EXPECT_FALSE(e->gif_button->isEnabled());
    EXPECT_TRUE(has_toast("Exportando MP4…"));
    // A second click of either button while busy does nothing.
    e->export_mp4();
    e->export_gif();
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 5000));
    EXPECT_TRUE(e->mp4_button->isEnabled());
    EXPECT_TRUE(e->gif_button->isEnabled());
    ASSERT_EQ(m_media->exports().size(), 1u);
    const auto& options = m_media->exports()[0].second;
    EXPECT_TRUE(options.mute);
    EXPECT_EQ(options.resolution, 2);
    EXPECT_EQ(options.range, (std::pair { 1.0, 4.0 }));
    EXPECT_TRUE(has_toast("MP4 listo · 0.0 MB"));
    EXPECT_TRUE(m_media->opened().empty()); // no GIF was started
}

TEST_F(VideoEditorTest, AFailedExportGivesTheButtonsBackAndMuteNeedsSound)
{
    m_script.export_outcome = { platform::ExportStatus::Failed, std::string("disco lleno") };
    auto e = open(false);
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->mute_box->isEnabled());
    e->mute_box->setChecked(true); // a disabled box is ignored
    e->resolution_popup->setCurrentIndex(1);
    e->export_mp4();
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 5000));
    EXPECT_TRUE(e->mp4_button->isEnabled());
    EXPECT_TRUE(has_toast("No se pudo exportar el MP4"));
    ASSERT_EQ(m_media->exports().size(), 1u);
    EXPECT_FALSE(m_media->exports()[0].second.mute);
    EXPECT_EQ(m_media->exports()[0].second.resolution, 1);
    EXPECT_FALSE(m_media->exports()[0].second.range);
}

// A source cut short on disk gives less than its length says: the export
// says so, and how much it kept; one with no frame to show is no export.
TEST_F(VideoEditorTest, AnExportThatFallsShortSaysWhatItKept)
{
    m_script.written = platform::Written { 5, 0.18 };
    auto e = open();
    ASSERT_TRUE(e);
    e->export_mp4();
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 5000));
    EXPECT_TRUE(has_toast("MP4 incompleto · 0.2 de 10.0 s · 0.0 MB"));
    EXPECT_FALSE(has_toast("MP4 listo · 0.0 MB"));

    m_script.written = platform::Written { 0, 0 };
    e = open();
    ASSERT_TRUE(e);
    e->export_mp4();
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 5000));
    EXPECT_TRUE(has_toast("No se pudo exportar el MP4"));
    EXPECT_FALSE(has_toast("MP4 listo · 0.0 MB"));
}

TEST_F(VideoEditorTest, GifExportsNameUntrimmedAndTrimmedFilesApart)
{
    auto e = open();
    ASSERT_TRUE(e && m_player);
    e->gif_button->click();
    EXPECT_TRUE(e->busy);
    EXPECT_FALSE(e->mp4_button->isEnabled());
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 10000));
    EXPECT_TRUE(e->gif_button->isEnabled());
    EXPECT_TRUE(fs::exists(m_dir.path() / "Vistrope 2025-03-01 a las 10.00.00.gif"));

    m_player->show_first_frame();
    e->begin_trim();
    m_player->finish_trim(TrimOutcome::Confirmed, 2.0, 3.0);
    e->export_gif();
    ASSERT_TRUE(wait_until([&] { return !e->busy; }, 10000));
    EXPECT_TRUE(fs::exists(m_dir.path() / "Vistrope 2025-03-01 a las 10.00.00 (recortado).gif"));
    EXPECT_EQ(m_media->opened().back().start, 2.0);
    EXPECT_EQ(m_media->opened().back().length, 1.0);
}

TEST_F(VideoEditorTest, ClosingWhileExportingLeavesTheCompletionLiveHiddenObjects)
{
    auto e = open();
    ASSERT_TRUE(e);
    e->window->show();
    e->export_mp4();
    ASSERT_TRUE(e->busy);
    std::weak_ptr<video_editor::VideoEditor> weak = e;
    QPushButton* mp4 = e->mp4_button;
    // No event turns before the check, so the completion cannot have run.
    e->window->close();
    EXPECT_TRUE(video_editor::editors().empty());
    EXPECT_EQ(m_player->calls().back(), "pause");
    e.reset();
    // The export's completion still holds the controller.
    ASSERT_FALSE(weak.expired());
    EXPECT_FALSE(mp4->isVisible());
    ASSERT_TRUE(wait_until([&] { return weak.expired(); }, 5000));
    EXPECT_TRUE(has_toast("MP4 listo · 0.0 MB"));
}

TEST_F(VideoEditorTest, ClosingWithATrimOpenOrWaitingLetsTheWindowAndItsPlayerGo)
{
    // Closed with the range bar open: nothing but the player holds the trim.
    auto e = open();
    ASSERT_TRUE(e && m_player);
    m_player->show_first_frame();
    e->begin_trim();
    ASSERT_TRUE(m_player->trimming());
    std::weak_ptr<video_editor::VideoEditor> weak = e;
    testing_support::from_event_loop([&] {
        e->window->close();
        e.reset();
    });
    EXPECT_TRUE(video_editor::editors().empty());
    EXPECT_TRUE(weak.expired());

    // Closed while the trim waits for the first frame: the retry finds nothing.
    e = open();
    ASSERT_TRUE(e && m_player);
    e->begin_trim();
    weak = e;
    testing_support::from_event_loop([&] {
        e->window->close();
        e.reset();
    });
    EXPECT_TRUE(weak.expired());
    testing_support::pump_for(500);
    EXPECT_FALSE(has_toast("Este video no se puede recortar"));
}

TEST_F(VideoEditorTest, DebugHooksActOnTheNewestWindow)
{
    EXPECT_FALSE(video_editor::debug_set_range(1.0, 4.0));
    video_editor::debug_begin_trim(); // nothing open: nothing happens
    m_script.probe = platform::MediaProbe { 640, 480, 0, 3.0, false };
    m_media = std::make_shared<MediaFake>(m_script);
    video::set_media(m_media);
    QWidget* window = video_editor::debug_open(m_source);
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    // Stored unchanged though it runs past the 3 s file.
    EXPECT_EQ(video_editor::debug_set_range(1.0, 4.0), (video_editor::Range { 1.0, 4.0 }));
    EXPECT_FALSE(video_editor::debug_set_range(0.0, 3.0));
    m_player->show_first_frame();
    video_editor::debug_begin_trim();
    EXPECT_TRUE(m_player->trimming());
}
