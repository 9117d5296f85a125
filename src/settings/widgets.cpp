#include "settings/widgets.h"

#include "base/util.h"
#include "base/publish.h"
#include "capture/output.h"
#include "platform/workspace.h"
#include "platform/symbols.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>

#include <fmt/format.h>

#include <cmath>

namespace widgets {

const Colors& light_colors()
{
    static const Colors c{
        .label = QColor(0, 0, 0, 217),
        .secondary = QColor(0, 0, 0, 128),
        .tertiary = QColor(0, 0, 0, 66),
        .separator = QColor(0, 0, 0, 26),
        .control_background = QColor(255, 255, 255),
        .accent = QColor(0, 122, 255),
        .orange = QColor(255, 149, 0),
        .green = QColor(52, 199, 89),
        .link = QColor(0, 104, 218),
    };
    return c;
}

const Colors& dark_colors()
{
    static const Colors c{
        .label = QColor(255, 255, 255, 217),
        .secondary = QColor(255, 255, 255, 140),
        .tertiary = QColor(255, 255, 255, 64),
        .separator = QColor(255, 255, 255, 26),
        .control_background = QColor(30, 30, 30),
        .accent = QColor(10, 132, 255),
        .orange = QColor(255, 159, 10),
        .green = QColor(48, 209, 88),
        .link = QColor(65, 156, 255),
    };
    return c;
}

const Colors& colors()
{
    return QApplication::palette().color(QPalette::Window).lightness() < 128 ? dark_colors() : light_colors();
}

namespace {

QFont ui_font(double pixel_size, QFont::Weight weight)
{
    QFont f = QApplication::font();
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(pixel_size))));
    f.setWeight(weight);
    return f;
}

void set_text_color(QWidget* w, const QColor& color)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    w->setPalette(p);
}

class Card final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        const Colors& c = colors();
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(c.separator, 1));
        p.setBrush(c.control_background);
        p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    }
};

} // namespace

QLabel* label_with(const QString& text, double pixel_size, QFont::Weight weight, const QColor& color)
{
    auto* l = new QLabel(text);
    l->setFont(ui_font(pixel_size, weight));
    l->setTextInteractionFlags(Qt::NoTextInteraction);
    set_text_color(l, color);
    return l;
}

QLabel* note(const QString& text, int max_width)
{
    QLabel* l = label_with(text, 11, QFont::Normal, colors().secondary);
    l->setWordWrap(true);
    l->setMaximumWidth(max_width);
    // A wrapping label asks for the width its text would take on one line;
    // pinning it to the maximum makes the height follow the wrapped text.
    l->setFixedWidth(std::min(max_width, l->fontMetrics().horizontalAdvance(text) + 2));
    return l;
}

PathLabel::PathLabel(int max_width, QWidget* parent) : QLabel(parent)
{
    setMaximumWidth(max_width);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void PathLabel::set_path(const QString& path)
{
    m_path = path;
    // The hint follows the whole path, held at the maximum by the layout.
    setMinimumWidth(std::min(maximumWidth(), fontMetrics().horizontalAdvance(path) + 2));
    elide();
}

void PathLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    elide();
}

void PathLabel::elide()
{
    const int room = std::min(width(), maximumWidth());
    setText(fontMetrics().elidedText(m_path, Qt::ElideMiddle, std::max(room, 0)));
}

PathLabel* path_label(int max_width)
{
    return new PathLabel(max_width);
}

QWidget* indented(QWidget* view, int inset)
{
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(inset, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view);
    return box;
}

QWidget* card(QWidget* content, int inset)
{
    auto* box = new Card;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->addWidget(content);
    return box;
}

namespace {

constexpr double SYMBOL_SCALE_LIMIT = 8.0;

double screen_scale()
{
    const double s = qApp ? qApp->devicePixelRatio() : 1.0;
    return s > 0 && s <= SYMBOL_SCALE_LIMIT ? s : 1.0;
}

// A digit in a disc: the two numbered symbols the first-run window uses.
std::optional<char> numbered_disc(std::string_view name)
{
    if (name == "1.circle.fill")
        return '1';
    if (name == "2.circle.fill")
        return '2';
    return std::nullopt;
}

QPixmap canvas(double size, double scale)
{
    const int px = std::max(1, static_cast<int>(std::lround(size * scale)));
    QPixmap out(px, px);
    out.setDevicePixelRatio(scale);
    out.fill(Qt::transparent);
    return out;
}

QPixmap draw_numbered(char digit, double size, const QColor& disc, const QColor& ink)
{
    QPixmap out = canvas(size, screen_scale());
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(size * 0.04, size * 0.04, size * 0.92, size * 0.92);
    QPainterPath path;
    path.addEllipse(box);
    QPainterPath glyph;
    glyph.addText(0, 0, ui_font(size * 0.62, QFont::Bold), QString(QChar(digit)));
    glyph.translate(box.center() - glyph.boundingRect().center());
    if (ink.alpha() == 0)
        path = path.subtracted(glyph); // cut out: the background shows through
    p.fillPath(path, disc);
    if (ink.alpha() != 0)
        p.fillPath(glyph, ink);
    return out;
}

} // namespace

QPixmap symbol(std::string_view name, double pixel_size, std::optional<QColor> color)
{
    const QColor tint = color.value_or(colors().label);
    if (!(pixel_size > 0))
        return {};
    if (const auto digit = numbered_disc(name))
        return draw_numbered(*digit, pixel_size, tint, Qt::transparent);
    const QImage img = platform::symbols::image(name, pixel_size, tint, screen_scale());
    return img.isNull() ? QPixmap() : QPixmap::fromImage(img);
}

QPixmap symbol_palette(std::string_view name, std::span<const QColor> palette, double pixel_size)
{
    if (palette.size() < 2)
        return symbol(name, pixel_size, palette.empty() ? std::nullopt : std::optional<QColor>(palette[0]));
    if (!(pixel_size > 0))
        return {};
    if (const auto digit = numbered_disc(name))
        return draw_numbered(*digit, pixel_size, palette[0], palette[1]);
    const double scale = screen_scale();
    const QImage glyph = platform::symbols::image(name, pixel_size, palette[1], scale);
    if (glyph.isNull())
        return {};
    QPixmap out = canvas(pixel_size, scale);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(palette[0]);
    // The disc sits inside the glyph's circle so none of it shows past the rim.
    const double inset = pixel_size * 0.2;
    p.drawEllipse(QRectF(inset, inset, pixel_size - 2 * inset, pixel_size - 2 * inset));
    p.drawImage(QPointF(0, 0), glyph);
    return out;
}

std::optional<std::string> openable_url(std::string_view text)
{
    const QUrl url(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.scheme().isEmpty())
        return std::nullopt;
    return url.toString(QUrl::FullyEncoded).toStdString();
}

bool open_url(std::string_view text, std::function<void(const std::string& why)> failed)
{
    const auto url = openable_url(text);
    if (!url)
        return false;
    // A scheme starts with a letter, so the one argument can never read as an option.
    platform::open_path(*url, std::move(failed));
    return true;
}

bool snapshot_window(QWidget* window, const std::filesystem::path& path)
{
    if (!window)
        return false;
    if (auto* layout = window->layout())
        layout->activate();
    const QPixmap picture = window->grab();
    if (picture.isNull())
        return false;
    if (auto written = publish::write_output(path, output::encode(picture.toImage(), 1.0)); !written) {
        util::log(written.error());
        return false;
    }
    util::log(fmt::format("escrito {}", path.string()));
    return true;
}

bool is_close_key(const QKeyEvent& event)
{
    const auto mods = event.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    return event.key() == Qt::Key_W && mods == Qt::ControlModifier;
}

VistropeSettingsWindow::VistropeSettingsWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setAttribute(Qt::WA_DeleteOnClose, false);
}

void VistropeSettingsWindow::keyPressEvent(QKeyEvent* event)
{
    // Keys reach the window only after the focus widget left them, so a
    // widget that wants Ctrl+W keeps it.
    if (is_close_key(*event)) {
        event->accept();
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void VistropeSettingsWindow::closeEvent(QCloseEvent* event)
{
    if (on_close)
        on_close();
    QWidget::closeEvent(event);
}

bool VistropeSettingsWindow::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate && on_activated)
        on_activated();
    return QWidget::event(event);
}

} // namespace widgets
