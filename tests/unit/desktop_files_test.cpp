// The program as the desktop shows it: every entry we write names the icon,
// the icon theme holds it at every size, the menu's entry is visible and the
// link scheme's is not.
#include "app/desktop_files.h"
#include "platform/system.h"
#include "platform/url_scheme.h"
#include "test_util.h"

#include <QImage>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

ino_t inode(const fs::path& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

TEST(DesktopFiles, EntriesNameTheIconAndTheThemeHoldsItAtEverySize)
{
    TempHome home;
    TempDir dir;
    ScopedEnv data("XDG_DATA_HOME", (dir.path() / "data").string());
    ScopedEnv conf("XDG_CONFIG_HOME", (dir.path() / "conf").string());
    ASSERT_TRUE(platform::install_desktop_entry("/opt/v/vistrope"));
    const std::string scheme = read_file(dir.path() / "data/applications/vistrope.desktop");
    const std::string menu = read_file(dir.path() / "data/applications/vistrope-menu.desktop");
    for (const std::string& entry : { scheme, menu, sys::autostart_entry("/opt/v/vistrope") }) {
        EXPECT_NE(entry.find("\nIcon=vistrope\n"), std::string::npos) << entry;
        EXPECT_NE(entry.find("\nName=Vistrope\n"), std::string::npos) << entry;
    }
    EXPECT_NE(scheme.find("\nNoDisplay=true\n"), std::string::npos);
    EXPECT_NE(scheme.find("\nExec=/opt/v/vistrope %u\n"), std::string::npos);
    EXPECT_EQ(menu.find("NoDisplay"), std::string::npos) << menu;
    EXPECT_EQ(menu.find("MimeType"), std::string::npos) << "the menu's entry takes no links";
    for (const char* line : { "\nExec=/opt/v/vistrope\n", "\nComment=Capturas y grabaciones de pantalla\n",
             "\nCategories=Graphics;Utility;\n", "\nStartupNotify=false\n", "\nType=Application\n" })
        EXPECT_NE(menu.find(line), std::string::npos) << line << "\n" << menu;
    // Written again unchanged, the entries stay the same files.
    const ino_t before = inode(dir.path() / "data/applications/vistrope-menu.desktop");
    ASSERT_TRUE(platform::install_desktop_entry("/opt/v/vistrope"));
    EXPECT_EQ(inode(dir.path() / "data/applications/vistrope-menu.desktop"), before);
    ASSERT_TRUE(platform::install_desktop_entry("/opt/w/vistrope"));
    EXPECT_NE(read_file(dir.path() / "data/applications/vistrope-menu.desktop").find("Exec=/opt/w/vistrope\n"), std::string::npos);

    // The theme: one PNG per size, each the drawn icon.
    const QColor tint(20, 110, 230);
    ASSERT_TRUE(sys::install_theme_icons(app::theme_icons(tint)));
    EXPECT_EQ(sys::icon_theme_dir(), dir.path() / "data/icons/hicolor");
    for (const int side : app::THEME_ICON_SIZES) {
        const fs::path file = sys::icon_theme_dir() / fmt::format("{0}x{0}/apps/vistrope.png", side);
        const QImage read(QString::fromStdString(file.string()));
        ASSERT_EQ(read.size(), QSize(side, side)) << file;
        const QImage drawn = app::icon_image(side, tint).convertToFormat(QImage::Format_ARGB32);
        const QImage got = read.convertToFormat(QImage::Format_ARGB32);
        int differing = 0;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                const QRgb a = drawn.pixel(x, y), b = got.pixel(x, y);
                differing += std::abs(qAlpha(a) - qAlpha(b)) > 1 || (qAlpha(a) > 64 && std::abs(qBlue(a) - qBlue(b)) > 4);
            }
        EXPECT_EQ(differing, 0) << side;
        EXPECT_GT(qAlpha(got.pixel(side / 2, side / 4)), 200) << "the outline is drawn at " << side;
    }
    const fs::path largest = sys::icon_theme_dir() / "256x256/apps/vistrope.png";
    const ino_t icon_before = inode(largest);
    ASSERT_TRUE(sys::install_theme_icons(app::theme_icons(tint)));
    EXPECT_EQ(inode(largest), icon_before) << "an unchanged icon is not written again";

    // A file where a size's folder should be: the reason is given.
    fs::remove_all(sys::icon_theme_dir() / "16x16");
    write_file(sys::icon_theme_dir() / "16x16", "");
    const auto refused = sys::install_theme_icons(app::theme_icons(tint));
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("16x16"), std::string::npos) << refused.error();
}
