// The editor's copy and save as another program sees them: the clipboard read
// with xclip, the saved file from the capture folder, both decoded with libpng
// and compared with the editor's own export pixel by pixel.
#include "editor/outputs.h"

#include "base/config.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "qt_wait.h"
#include "test_util.h"
#include "x_tools.h"

#include <QPainter>
#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

// RGBA rows, or nothing when the bytes are not a PNG.
std::optional<std::vector<std::uint8_t>> decode(const std::uint8_t* data, std::size_t size, std::uint32_t& w, std::uint32_t& h)
{
    png_image image {};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size))
        return std::nullopt;
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> rgba(PNG_IMAGE_SIZE(image));
    w = image.width;
    h = image.height;
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr))
        return std::nullopt;
    return rgba;
}

// Every pixel of the PNG equals the export (opaque, so straight = premultiplied).
::testing::AssertionResult is_export(const std::string& png, editor::Editor& e)
{
    std::uint32_t w = 0, h = 0;
    const auto rgba = decode(reinterpret_cast<const std::uint8_t*>(png.data()), png.size(), w, h);
    if (!rgba)
        return ::testing::AssertionFailure() << "not a PNG (" << png.size() << " bytes)";
    const auto ex = render::export_doc(e.base(), e.editing().doc(), e.effects());
    if (!ex || ex->width != w || ex->height != h)
        return ::testing::AssertionFailure() << "size " << w << "×" << h;
    for (std::size_t i = 0; i < std::size_t(w) * h; ++i) {
        const std::uint8_t* b = &ex->pixels[4 * i];
        const std::uint8_t* p = &(*rgba)[4 * i];
        if (p[0] != b[2] || p[1] != b[1] || p[2] != b[0] || p[3] != b[3])
            return ::testing::AssertionFailure() << "pixel " << i % w << "," << i / w << " differs";
    }
    return ::testing::AssertionSuccess();
}

TEST(EditorOutputsDesktop, CopyAndSaveCarryTheExportedPicture)
{
    state::reset_for_tests();
    testing_support::TempHome home;
    config::Config cfg;
    cfg.save_dir = (home.path() / "capturas").string();
    state::set_config(std::make_shared<const config::Config>(cfg));

    QImage picture(120, 80, QImage::Format_ARGB32_Premultiplied);
    picture.fill(QColor(240, 240, 235));
    {
        QPainter p(&picture);
        p.fillRect(10, 10, 50, 30, QColor(30, 90, 200));
    }
    auto e = editor::Editor::create(picture, 2);
    e->editing().set_background(true);
    e->editing().set_tool(editor::model::Tool::Counter);
    e->editing().mouse_down(false, 1, { 80, 50 });
    e->editing().mouse_up();
    ASSERT_EQ(e->editing().doc().annotations.size(), 1u);

    editor::copy(e);
    QByteArray png;
    ASSERT_TRUE(testing_support::wait_until([&] {
        png = testing_support::xclip_png();
        return !png.isEmpty();
    }, 15000));
    EXPECT_TRUE(is_export(png.toStdString(), *e));

    editor::save(e);
    ASSERT_TRUE(testing_support::wait_until(
        [&] { return e->editing().status() && e->editing().status()->first.starts_with("Guardado: "); }, 15000));
    std::vector<fs::path> files;
    for (const auto& f : fs::directory_iterator(home.path() / "capturas"))
        files.push_back(f.path());
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(Vistrope \d{4}-\d{2}-\d{2} a las \d{2}\.\d{2}\.\d{2}\.png)"))) << name;
    EXPECT_TRUE(is_export(testing_support::read_file(files[0]), *e));
    util::wait_for_background();
    state::reset_for_tests();
}

} // namespace
