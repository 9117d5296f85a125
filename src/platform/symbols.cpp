#include "platform/symbols.h"

#include <QFontDatabase>
#include <QPainter>
#include <QRawFont>
#include <QRectF>
#include <QString>

#include <array>
#include <utility>

namespace platform::symbols {

namespace {

// Symbol name → Material Icons codepoint. Names absent here draw nothing.
// Chosen for shape, not for name: each glyph is the closest Material icon
// to what the name describes.
constexpr std::array<std::pair<std::string_view, char32_t>, 59> TABLE = { {
    // capture-mode bar
    { "viewfinder", 0xe3c2 },              // crop_free
    { "display", 0xe30c },                 // desktop_windows
    { "macwindow", 0xe069 },               // web_asset
    { "arrow.down", 0xe5db },              // arrow_downward
    { "timer", 0xe425 },                   // timer
    { "textformat", 0xe165 },              // text_format
    { "video", 0xe04b },                   // videocam
    // toasts, cards and capsules
    { "video.fill", 0xe04b },              // videocam
    { "record.circle", 0xe061 },           // fiber_manual_record
    { "stop.circle.fill", 0xe047 },        // stop
    { "checkmark.circle", 0xe92d },        // check_circle_outline
    { "checkmark.circle.fill", 0xe86c },   // check_circle
    { "xmark.circle", 0xe5c9 },            // cancel
    { "xmark.circle.fill", 0xe5c9 },       // cancel
    { "exclamationmark.triangle", 0xe002 },      // warning
    { "exclamationmark.triangle.fill", 0xe002 }, // warning
    { "info.circle", 0xe88e },             // info
    { "photo.stack", 0xe413 },             // photo_library
    { "doc.on.clipboard", 0xe14f },        // content_paste
    { "doc.on.doc", 0xe14d },              // content_copy
    { "text.viewfinder", 0xe262 },         // text_fields
    { "text.magnifyingglass", 0xe8b6 },    // search
    { "camera.viewfinder", 0xe3b0 },       // photo_camera
    { "square.and.arrow.up", 0xe80d },     // share
    { "square.and.arrow.down", 0xe161 },   // save
    { "arrow.uturn.backward", 0xe166 },    // undo
    { "arrow.uturn.forward", 0xe15a },     // redo
    { "arrow.down.to.line", 0xe2c4 },      // file_download
    { "hand.raised", 0xe925 },             // pan_tool
    { "arrow.up.right", 0xf1e1 },          // north_east
    { "hand.draw", 0xe3c9 },               // edit
    { "pencil.tip", 0xe3c9 },              // edit
    { "scissors", 0xe14e },                // content_cut
    { "xmark", 0xe5cd },                   // close
    { "pencil.and.scribble", 0xe3c9 },     // edit
    { "pin", 0xe55f },                     // place
    { "pin.fill", 0xe55f },                // place
    { "trash", 0xe872 },                   // delete
    { "gearshape", 0xe8b8 },               // settings
    { "keyboard", 0xe312 },                // keyboard
    { "cursorarrow.click", 0xe913 },       // touch_app
    // video player
    { "play.fill", 0xe037 },               // play_arrow
    { "pause.fill", 0xe034 },              // pause
    { "backward.frame.fill", 0xe045 },     // skip_previous
    { "forward.frame.fill", 0xe044 },      // skip_next
    // editor toolbar
    { "cursorarrow", 0xe569 },             // near_me
    { "rectangle", 0xe835 },               // check_box_outline_blank
    { "rectangle.fill", 0xe047 },          // stop
    { "circle", 0xe836 },                  // radio_button_unchecked
    { "line.diagonal", 0xf108 },           // horizontal_rule
    { "1.circle", 0xe400 },                // looks_one
    { "highlighter", 0xe22b },             // border_color
    { "checkerboard.rectangle", 0xe3ec },  // grid_on
    { "drop", 0xe798 },                    // water_drop
    { "flashlight.on.fill", 0xf00b },      // flashlight_on
    { "crop", 0xe3be },                    // crop
    { "folder", 0xe2c7 },                  // folder
    // settings and first-run windows
    { "command", 0xeae7 },                 // keyboard_command_key
    { "hourglass", 0xe88b },               // hourglass_empty
} };

constexpr const char* FONT_FILE = "/usr/share/fonts/truetype/material-design-icons-iconfont/MaterialIcons-Regular.ttf";

// The font's family name, loaded once; empty when the font is missing.
const QString& family()
{
    static const QString name = [] {
        QString found;
        if (QFontDatabase::families().contains(QStringLiteral("Material Icons")))
            found = QStringLiteral("Material Icons");
        if (found.isEmpty()) {
            const int id = QFontDatabase::addApplicationFont(QString::fromUtf8(FONT_FILE));
            const QStringList families = id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList {};
            if (!families.isEmpty())
                found = families.front();
        }
        return found;
    }();
    return name;
}

} // namespace

std::optional<char32_t> glyph(std::string_view name)
{
    for (const auto& [key, code] : TABLE)
        if (key == name)
            return code;
    return std::nullopt;
}

std::vector<std::string_view> names()
{
    std::vector<std::string_view> out;
    for (const auto& entry : TABLE)
        out.push_back(entry.first);
    return out;
}

std::optional<QFont> font(double pixel_size)
{
    if (family().isEmpty() || !(pixel_size > 0))
        return std::nullopt;
    QFont f(family());
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(pixel_size))));
    f.setStyleStrategy(QFont::NoFontMerging);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

bool draw(QPainter& painter, std::string_view name, const QRectF& box, double size, const QColor& tint)
{
    const auto code = glyph(name);
    const auto f = font(size);
    if (!code || !f)
        return false;
    const char32_t text[] = { *code };
    painter.save();
    painter.setFont(*f);
    painter.setPen(tint);
    painter.drawText(box, Qt::AlignCenter, QString::fromUcs4(text, 1));
    painter.restore();
    return true;
}

QImage image(std::string_view name, double size, const QColor& tint, double scale)
{
    if (!glyph(name) || !font(size) || !(size > 0) || !(scale > 0))
        return {};
    const int px = std::max(1, static_cast<int>(std::lround(size * scale)));
    QImage out(px, px, QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(scale);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    draw(p, name, QRectF(0, 0, size, size), size, tint);
    return out;
}

} // namespace platform::symbols
