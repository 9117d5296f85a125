// The program's icon as the window manager reads it: the settings window's
// _NET_WM_ICON, read with xprop like any other program would, holds the drawn
// icon at every size the program offers.
#include "app/desktop_files.h"
#include "base/state.h"
#include "qt_wait.h"
#include "settings/prefs.h"
#include "settings/widgets.h"
#include "test_util.h"
#include "x_tools.h"

#include <QApplication>
#include <QImage>
#include <QRegularExpression>
#include <QWindow>
#include <gtest/gtest.h>

#include <map>

using namespace testing_support;

namespace {

// The pictures of a _NET_WM_ICON (EWMH: width, height, then width × height
// ARGB values, repeated), by width.
std::map<int, QImage> wm_icons(const QByteArray& xprop)
{
    std::vector<quint32> values;
    static const QRegularExpression number(R"(\d+)");
    const qsizetype equals = xprop.indexOf('=');
    for (auto it = number.globalMatch(QString::fromLatin1(xprop.mid(equals + 1))); it.hasNext();)
        values.push_back(it.next().captured(0).toUInt());
    std::map<int, QImage> icons;
    for (std::size_t at = 0; at + 2 <= values.size();) {
        const int w = static_cast<int>(values[at]), h = static_cast<int>(values[at + 1]);
        at += 2;
        if (w <= 0 || h <= 0 || at + static_cast<std::size_t>(w) * static_cast<std::size_t>(h) > values.size())
            break;
        QImage image(w, h, QImage::Format_ARGB32);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixel(x, y, values[at++]);
        icons[w] = image;
    }
    return icons;
}

} // namespace

TEST(DesktopFilesDesktop, TheSettingsWindowCarriesTheProgramsIcon)
{
    TempHome home;
    state::reset_for_tests();
    app::install_window_icon();
    prefs::show();
    const auto ui = prefs::ui();
    ASSERT_TRUE(wait_until([&] { return ui->window->isVisible() && ui->window->windowHandle()->isExposed(); }, 5000));
    const QString id = QString::number(ui->window->winId());
    std::map<int, QImage> icons;
    wait_until([&] { return !(icons = wm_icons(run_serving("xprop", { "-id", id, "-notype", "32c", "_NET_WM_ICON" }))).empty(); }, 5000);
    std::vector<int> sizes;
    for (const auto& [side, image] : icons)
        sizes.push_back(side);
    EXPECT_EQ(sizes, std::vector<int>(std::begin(app::WINDOW_ICON_SIZES), std::end(app::WINDOW_ICON_SIZES)));
    for (const auto& [side, image] : icons) {
        const QImage drawn = app::icon_image(side, widgets::colors().accent).convertToFormat(QImage::Format_ARGB32);
        int differing = 0;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                differing += std::abs(qAlpha(drawn.pixel(x, y)) - qAlpha(image.pixel(x, y))) > 2;
        EXPECT_EQ(differing, 0) << side << " × " << side;
    }
    prefs::reset();
    QApplication::setWindowIcon(QIcon());
    pump_for(100);
    state::reset_for_tests();
}
