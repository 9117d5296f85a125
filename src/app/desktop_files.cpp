#include "app/desktop_files.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "codec/encode.h"
#include "platform/url_scheme.h"
#include "settings/widgets.h"
#include "ui/status_icon.h"

#include <QApplication>
#include <QPixmap>

#include <fmt/format.h>

namespace app {

QImage icon_image(int side, const QColor& tint)
{
    QImage image = ui::app_icon(side / 18.0, tint);
    image.setDevicePixelRatio(1.0);
    return image;
}

void install_window_icon()
{
    util::require_main_thread("hilo principal");
    const QColor tint = widgets::colors().accent;
    QIcon icon;
    for (const int side : WINDOW_ICON_SIZES)
        icon.addPixmap(QPixmap::fromImage(icon_image(side, tint)));
    QApplication::setWindowIcon(icon);
}

std::vector<sys::ThemeIcon> theme_icons(const QColor& tint)
{
    std::vector<sys::ThemeIcon> icons;
    for (const int side : THEME_ICON_SIZES) {
        const QImage image = icon_image(side, tint).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const encode::PngPixels pixels { .data = { image.constBits(), static_cast<std::size_t>(image.sizeInBytes()) },
            .width = static_cast<std::uint32_t>(image.width()),
            .height = static_cast<std::uint32_t>(image.height()),
            .stride = static_cast<std::size_t>(image.bytesPerLine()),
            .rgba = false };
        icons.push_back({ side, encode::encode_png(pixels, { .icc = std::nullopt, .scale = 0, .threads = 1 }) });
    }
    return icons;
}

void register_on_desktop(const std::string& program)
{
    util::require_main_thread("hilo principal");
    if (auto registered = platform::install_desktop_entry(platform::front_executable(program).string()); !registered)
        util::log(fmt::format("no pude registrar el esquema vistrope:// ({})", registered.error()));
    sys::refresh_launch_at_login();
    // Drawing and encoding eight pictures is no work for the launch to wait on.
    util::in_utility([tint = widgets::colors().accent] {
        if (auto installed = sys::install_theme_icons(theme_icons(tint)); !installed)
            util::log(fmt::format("no pude instalar el ícono de Vistrope ({})", installed.error()));
    });
}

} // namespace app
