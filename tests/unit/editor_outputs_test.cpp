// The editor's Qt side and its outputs: copy, save and writing, offscreen.
#include "editor/outputs.h"

#include "../pure/editor_fake_host.h"
#include "base/config.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace fs = std::filesystem;
using testing_support::wait_until;

namespace {

QImage noise(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    std::mt19937 rng(9);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            reinterpret_cast<std::uint32_t*>(image.scanLine(y))[x] = 0xff000000u | (rng() & 0xffffffu);
    return image;
}

std::string status_of(const editor::Editor& e)
{
    return e.editing().status() ? e.editing().status()->first : std::string();
}

// The PNG bytes decoded, premultiplied, compared with a fresh export of the editor.
::testing::AssertionResult decodes_to_export(const QByteArray& png, editor::Editor& e)
{
    QImage decoded = QImage::fromData(png, "PNG");
    if (decoded.isNull())
        return ::testing::AssertionFailure() << "not a PNG (" << png.size() << " bytes)";
    decoded = decoded.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const auto exported = render::export_doc(e.base(), e.editing().doc(), e.effects());
    if (!exported)
        return ::testing::AssertionFailure() << "empty export";
    if (decoded.width() != int(exported->width) || decoded.height() != int(exported->height))
        return ::testing::AssertionFailure() << "size " << decoded.width() << "×" << decoded.height();
    for (int y = 0; y < decoded.height(); ++y)
        if (std::memcmp(decoded.constScanLine(y), exported->pixels.data() + std::size_t(y) * 4 * exported->width,
                4 * exported->width)
            != 0)
            return ::testing::AssertionFailure() << "row " << y << " differs";
    return ::testing::AssertionSuccess();
}

QByteArray file_bytes(const fs::path& path)
{
    const std::string s = testing_support::read_file(path);
    return QByteArray(s.data(), qsizetype(s.size()));
}

class EditorOutputs : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        use_folder(m_home.path() / "capturas");
        m_editor = editor::Editor::create(noise(64, 48), 2);
        m_editor->editing().set_background(true); // a 144 × 128 export with the frame
    }
    void TearDown() override
    {
        util::wait_for_background();
        testing_support::pump_for(20);
        state::reset_for_tests();
    }
    void use_folder(const fs::path& dir)
    {
        m_dir = dir;
        config::Config cfg;
        cfg.save_dir = dir.string();
        state::set_config(std::make_shared<const config::Config>(cfg));
    }
    std::vector<fs::path> files() const
    {
        std::vector<fs::path> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_dir, ec))
            out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }
    bool status_starts(std::string_view prefix) const { return status_of(*m_editor).starts_with(prefix); }

    testing_support::TempHome m_home;
    fs::path m_dir;
    std::shared_ptr<editor::Editor> m_editor;
};

TEST_F(EditorOutputs, SaveWritesTheExportAndTheLastShotLearnsTheFile)
{
    editor::save(m_editor);
    // The picture is the last shot at once; the file follows the write.
    ASSERT_TRUE(state::last_shot());
    EXPECT_EQ(state::last_shot()->image.size(), QSize(144, 128));
    EXPECT_EQ(state::last_shot()->scale, 2);
    EXPECT_FALSE(state::last_shot()->file);
    ASSERT_TRUE(wait_until([&] { return status_starts("Guardado: "); }));
    const auto written = files();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(status_of(*m_editor), "Guardado: " + written[0].filename().string());
    EXPECT_TRUE(written[0].filename().string().starts_with("Vistrope "));
    EXPECT_EQ(written[0].extension(), ".png");
    EXPECT_TRUE(decodes_to_export(file_bytes(written[0]), *m_editor));
    ASSERT_TRUE(state::last_shot());
    EXPECT_EQ(state::last_shot()->file, written[0]);
}

TEST_F(EditorOutputs, TwoSavesInOneSecondMakeTwoWholeFiles)
{
    editor::save(m_editor);
    editor::save(m_editor);
    // Both published: two files, neither a hidden temporary still being written.
    const auto published = [&] {
        const auto all = files();
        return all.size() == 2 && std::none_of(all.begin(), all.end(), [](const fs::path& p) { return p.filename().string().starts_with('.'); });
    };
    ASSERT_TRUE(wait_until([&] { return published() && status_starts("Guardado: "); }, 20000));
    util::wait_for_background();
    testing_support::pump_for(20);
    const auto written = files();
    ASSERT_EQ(written.size(), 2u);
    for (const fs::path& p : written)
        EXPECT_TRUE(decodes_to_export(file_bytes(p), *m_editor)) << p;
    // In the same second the second one is numbered rather than written over the first.
    std::string a = written[0].stem().string(), b = written[1].stem().string();
    if (a.ends_with(" (2)"))
        std::swap(a, b);
    if (a.substr(0, 33) == b.substr(0, 33)) {
        EXPECT_EQ(b, a + " (2)");
    }
}

TEST_F(EditorOutputs, UnwritableFolderSaysSoAndKeepsNoFile)
{
    testing_support::write_file(m_home.path() / "archivo", "x");
    use_folder(m_home.path() / "archivo" / "sub"); // a path through a regular file
    ::testing::internal::CaptureStderr();
    editor::save(m_editor);
    const bool reported = wait_until([&] { return status_starts("No se pudo guardar: "); });
    util::wait_for_background();
    const std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(reported) << status_of(*m_editor);
    EXPECT_TRUE(status_of(*m_editor).ends_with(".png"));
    EXPECT_NE(log.find("no pude guardar " + (m_home.path() / "archivo" / "sub").string()), std::string::npos) << log;
    EXPECT_EQ(testing_support::read_file(m_home.path() / "archivo"), "x");
    ASSERT_TRUE(state::last_shot());
    EXPECT_FALSE(state::last_shot()->file);
    EXPECT_EQ(state::last_shot()->image.size(), QSize(144, 128));
}

TEST_F(EditorOutputs, ANewerCaptureKeepsItsOwnLastShot)
{
    editor::save(m_editor);
    const QImage newer = noise(10, 10);
    state::set_last_shot(newer, 1); // a capture delivered while the save is written
    ASSERT_TRUE(wait_until([&] { return status_starts("Guardado: "); }));
    ASSERT_EQ(files().size(), 1u);
    ASSERT_TRUE(state::last_shot());
    EXPECT_FALSE(state::last_shot()->file);
    EXPECT_EQ(state::last_shot()->image.size(), QSize(10, 10));
}

TEST_F(EditorOutputs, WritePngReplacesWhatThePanelConfirmed)
{
    fs::create_directories(m_dir);
    const fs::path target = m_dir / "mío.jpeg"; // another extension stays as typed
    testing_support::write_file(target, "viejo");
    editor::write_png(m_editor, target);
    ASSERT_TRUE(wait_until([&] { return status_starts("Guardado: "); }));
    EXPECT_EQ(status_of(*m_editor), "Guardado: mío.jpeg");
    EXPECT_TRUE(decodes_to_export(file_bytes(target), *m_editor));
    EXPECT_EQ(files().size(), 1u); // no temporary file left behind
    EXPECT_EQ(state::last_shot()->file, target);
}

TEST_F(EditorOutputs, CopyPutsThePngOnTheClipboard)
{
    QGuiApplication::clipboard()->setText("antes");
    editor::copy(m_editor);
    EXPECT_EQ(status_of(*m_editor), "Copiado al portapapeles");
    const auto png = [] {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        return data ? data->data("image/png") : QByteArray();
    };
    ASSERT_TRUE(wait_until([&] { return !png().isEmpty(); }));
    EXPECT_TRUE(decodes_to_export(png(), *m_editor));
    EXPECT_FALSE(state::last_shot()); // copying is not saving
}

TEST_F(EditorOutputs, EmptyExportDoesNothing)
{
    m_editor->editing().set_background(false);
    // No public way to make an empty crop but applying one; a zero-size picture does it.
    auto empty = editor::Editor::create(QImage(), 1);
    editor::save(empty);
    editor::copy(empty);
    testing_support::pump_for(50);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(status_of(*empty), "");
    EXPECT_FALSE(state::last_shot());
}

TEST(EditorHost, WindowCallsWaitForAWindowAndTheTextIsCommittedBeforeExport)
{
    auto e = editor::Editor::create(noise(200, 100), 1);
    e->editing().set_status("sin ventana"); // no window: nothing to show it on, no crash
    editor_test::FakeHost window;
    e->attach_window(&window);
    e->editing().relayout();
    ASSERT_EQ(window.layouts.size(), 1u);
    EXPECT_EQ(window.layouts[0].mapping.source, (editor::model::Rect { 0, 0, 200, 100 }));

    // A text being typed is part of the export, measured by the renderer.
    e->editing().set_tool(editor::model::Tool::Text);
    e->editing().begin_text(false, 0, { 20, 20 });
    ASSERT_TRUE(window.field_open);
    window.field_text = "hola";
    ASSERT_TRUE(editor::export_editor(*e));
    ASSERT_EQ(e->editing().doc().annotations.size(), 1u);
    const auto& text = std::get<editor::model::Text>(e->editing().doc().annotations[0].geom);
    EXPECT_EQ(text.text, "hola");
    EXPECT_EQ(text.size, render::measure_text("hola", 1, 1, 0));
    EXPECT_FALSE(window.field_open);

    // Deleting drops the cached effect pictures of annotations that are gone.
    e->effects()[1] = {};
    e->effects()[77] = {};
    e->editing().set_tool(editor::model::Tool::Select);
    e->editing().mouse_down(false, 1, window.layouts.back().mapping.to_view({ 30, 30 }));
    e->editing().mouse_up();
    ASSERT_EQ(e->editing().selection(), 1u);
    e->editing().delete_selected();
    EXPECT_TRUE(e->effects().empty());

    window.window = false; // the window closed: calls stop reaching it
    const std::size_t shown = window.controls.size();
    e->editing().set_status("tras cerrar");
    EXPECT_EQ(window.controls.size(), shown);
}

TEST(EditorHost, StatusExpiresAfterItsTimeAndOutlivesNoEditor)
{
    auto e = editor::Editor::create(noise(20, 20), 1);
    auto gone = editor::Editor::create(noise(20, 20), 1);
    QElapsedTimer timer;
    timer.start();
    e->editing().set_status("uno");
    gone->editing().set_status("dos");
    gone.reset(); // its timer finds nothing
    ASSERT_TRUE(wait_until([&] { return !e->editing().status(); }, 8000));
    EXPECT_GE(timer.elapsed(), 2300); // Qt lets long timers fire up to 5 % early
}

} // namespace
