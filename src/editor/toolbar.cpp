#include "editor/toolbar.h"

#include "base/hotkeys.h"
#include "editor/model.h"
#include "editor/views.h"
#include "editor/window.h"
#include "platform/symbols.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>

#include <cmath>

namespace toolbar {

namespace {

constexpr double SCALE = 2; // every toolbar image is drawn at twice its point size

QImage blank(double width, double height)
{
    QImage out(int(std::lround(width * SCALE)), int(std::lround(height * SCALE)), QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(SCALE);
    out.fill(Qt::transparent);
    return out;
}

QColor template_tint() { return QApplication::palette().color(QPalette::ButtonText); }

// Halves away from zero, as the rows' placement wants.
int round_half_away(double v) { return int(std::lround(v)); }

std::string with_key(std::string_view title, std::string_view key, unsigned modifiers)
{
    return std::string(title) + " (" + hotkeys::key_equivalent_text({ std::string(key), modifiers }) + ")";
}

constexpr unsigned CTRL = unsigned(hotkeys::Modifier::Command);
constexpr unsigned SHIFT = unsigned(hotkeys::Modifier::Shift);

} // namespace

QWidget* separator(const QRect& frame, QWidget* parent);

namespace {

// A row that keeps its groups in place whenever it is resized.
class Row final : public QWidget {
public:
    explicit Row(std::function<void(Row&)> place)
        : m_place(std::move(place))
    {
        setFocusPolicy(Qt::NoFocus);
    }
    // A hairline across the row at `y` that follows its width.
    void set_hairline(int y) { m_line = separator(QRect(0, y, width(), 1), this); }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QWidget::resizeEvent(event);
        if (m_line)
            m_line->setGeometry(0, m_line->y(), width(), 1);
        m_place(*this);
    }

private:
    std::function<void(Row&)> m_place;
    QWidget* m_line = nullptr;
};

QWidget* group()
{
    auto* g = new QWidget;
    g->setFocusPolicy(Qt::NoFocus);
    return g;
}

QIcon icon_of(const QImage& image) { return QIcon(QPixmap::fromImage(image)); }

} // namespace

int centre_x(int width, int w1) { return std::max(round_half_away((width - w1) / 2.0), 12); }

int right_x(int width, int w3) { return width - w3 - 16; }

QImage icon(double width, double height) { return blank(width, height); }

std::optional<QImage> symbol(std::string_view name)
{
    if (!platform::symbols::glyph(name))
        return std::nullopt;
    QImage image = platform::symbols::image(name, 16, template_tint(), SCALE);
    if (image.isNull())
        return std::nullopt;
    return image;
}

QImage swatch(double r, double g, double b)
{
    QImage out = blank(16, 16);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor::fromRgbF(float(r), float(g), float(b)));
    p.setPen(QPen(QColor::fromRgbF(0.5f, 0.5f, 0.5f, 0.6f), 1));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    return out;
}

QImage weight_icon(int size)
{
    QImage out = blank(20, 16);
    const double width = editor::model::STROKE_WIDTHS.at(std::size_t(std::clamp(size, 0, 2))) * 0.7;
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(template_tint(), width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(4, 8), QPointF(16, 8));
    return out;
}

QWidget* separator(const QRect& frame, QWidget* parent)
{
    auto* line = new QWidget(parent);
    line->setFocusPolicy(Qt::NoFocus);
    line->setAutoFillBackground(true);
    QPalette pal = line->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Mid));
    line->setPalette(pal);
    line->setGeometry(frame);
    return line;
}

int row(int spacing, QWidget* container, const std::vector<QWidget*>& views)
{
    int x = 0;
    for (std::size_t i = 0; i < views.size(); ++i) {
        QWidget* v = views[i];
        v->setParent(container);
        v->move(x, round_half_away((ROW_HEIGHT - v->height()) / 2.0));
        x += v->width();
        if (i + 1 < views.size())
            x += spacing;
    }
    return x;
}

Segmented::Segmented(int segment_width, const std::vector<QImage>& images, const std::vector<std::string>& tooltips,
    Tracking tracking, std::function<void(int)> action)
{
    setFocusPolicy(Qt::NoFocus);
    constexpr int height = 24;
    if (tracking == Tracking::SelectOne) {
        m_group = new QButtonGroup(this);
        m_group->setExclusive(true);
    }
    for (std::size_t i = 0; i < images.size(); ++i) {
        auto* b = new QToolButton(this);
        b->setFocusPolicy(Qt::NoFocus);
        b->setAutoRaise(false);
        b->setIcon(icon_of(images[i]));
        b->setIconSize(images[i].deviceIndependentSize().toSize());
        const QString tip = QString::fromStdString(i < tooltips.size() ? tooltips[i] : std::string());
        b->setToolTip(tip);
        b->setAccessibleName(tip);
        b->setGeometry(int(i) * segment_width, 0, segment_width, height);
        const int index = int(i);
        if (m_group) {
            b->setCheckable(true);
            m_group->addButton(b, index);
        }
        // clicked, not toggled: the program's own selection must not loop back.
        connect(b, &QToolButton::clicked, this, [action, index] { action(index); });
        m_buttons.push_back(b);
    }
    resize(int(images.size()) * segment_width, height);
}

int Segmented::selected() const { return m_group ? m_group->checkedId() : -1; }

void Segmented::select(int i)
{
    if (m_group && i >= 0 && i < count())
        m_buttons[std::size_t(i)]->setChecked(true);
}

void Segmented::set_segment_enabled(int i, bool enabled)
{
    if (i >= 0 && i < count())
        m_buttons[std::size_t(i)]->setEnabled(enabled);
}

QPushButton* button(const QString& title, std::string_view symbol_name, const QString& tooltip,
    std::function<void()> action)
{
    auto* b = new QPushButton(title);
    if (const auto image = symbol(symbol_name)) {
        b->setIcon(icon_of(*image));
        b->setIconSize(QSize(16, 16));
    }
    b->setToolTip(tooltip);
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoDefault(false);
    QObject::connect(b, &QPushButton::clicked, b, [action = std::move(action)] { action(); });
    b->adjustSize();
    return b;
}

Toolbar build(editor::VistropeEditorController& target, std::weak_ptr<editor::Editor> editor, double width)
{
    using editor::model::PALETTE;
    using editor::model::Tool;
    static constexpr std::string_view TOOL_SYMBOLS[] = { "cursorarrow", "arrow.up.right", "rectangle", "rectangle.fill",
        "circle", "line.diagonal", "textformat", "1.circle", "pencil.tip", "highlighter", "checkerboard.rectangle", "drop",
        "flashlight.on.fill", "crop" };
    const QPointer<editor::VistropeEditorController> controller(&target);
    auto send = [controller](void (editor::VistropeEditorController::*action)(int)) {
        return [controller, action](int segment) {
            if (controller)
                (controller.data()->*action)(segment);
        };
    };

    std::vector<QImage> images;
    std::vector<std::string> tips;
    for (int i = 0; i < int(std::size(TOOL_SYMBOLS)); ++i) {
        images.push_back(symbol(TOOL_SYMBOLS[i]).value_or(icon(16, 16)));
        tips.emplace_back(editor::model::tool_tooltip(static_cast<Tool>(i)));
    }
    Toolbar t;
    t.tools = new Segmented(30, images, tips, Tracking::SelectOne, send(&editor::VistropeEditorController::tool_changed));
    images.clear();
    tips.clear();
    for (const auto& entry : PALETTE) {
        images.push_back(swatch(entry.color.r, entry.color.g, entry.color.b));
        tips.emplace_back(entry.name);
    }
    t.colors = new Segmented(24, images, tips, Tracking::SelectOne, send(&editor::VistropeEditorController::color_changed));
    t.sizes = new Segmented(28, { weight_icon(0), weight_icon(1), weight_icon(2) }, { "Delgado", "Mediano", "Grueso" },
        Tracking::SelectOne, send(&editor::VistropeEditorController::size_changed));
    t.history = new Segmented(28,
        { symbol("arrow.uturn.backward").value_or(icon(16, 16)), symbol("arrow.uturn.forward").value_or(icon(16, 16)) },
        { with_key("Deshacer", "z", CTRL), with_key("Rehacer", "z", CTRL | SHIFT) }, Tracking::Momentary,
        send(&editor::VistropeEditorController::history_clicked));
    t.history->segment(0)->setAccessibleName(QStringLiteral("Deshacer"));
    t.history->segment(1)->setAccessibleName(QStringLiteral("Rehacer"));

    const int w = int(std::lround(width));
    t.centre_group = group();
    const int w1 = row(16, t.centre_group, { t.tools, t.colors, t.sizes, t.history });
    t.centre_group->resize(w1, ROW_HEIGHT);

    auto* background = new QCheckBox(QStringLiteral("Fondo"));
    background->setToolTip(QStringLiteral("Margen con degradado, esquinas redondas y sombra"));
    background->setFocusPolicy(Qt::NoFocus);
    background->adjustSize();
    QObject::connect(background, &QCheckBox::clicked, background, [controller](bool on) {
        if (controller)
            controller->background_toggled(on);
    });
    t.background = background;

    t.status = new QLabel;
    t.status->setFocusPolicy(Qt::NoFocus);
    // Digits all one width, so a changing size does not jiggle the label.
    QFont status_font(QStringLiteral("DejaVu Sans"));
    status_font.setPixelSize(12);
    t.status->setFont(status_font);
    QPalette status_palette = t.status->palette();
    status_palette.setColor(QPalette::WindowText, status_palette.color(QPalette::PlaceholderText));
    t.status->setPalette(status_palette);
    t.status->resize(260, 16);
    t.left_group = group();
    const int w2 = row(14, t.left_group, { background, t.status });
    t.left_group->resize(w2, ROW_HEIGHT);

    auto act = [controller](void (editor::VistropeEditorController::*action)()) {
        return [controller, action] {
            if (controller)
                (controller.data()->*action)();
        };
    };
    t.save_as = button(QStringLiteral("Guardar como…"), "folder",
        QString::fromStdString(with_key("Elegir dónde guardar", "s", CTRL | SHIFT)),
        act(&editor::VistropeEditorController::save_image_as));
    t.save = button(QStringLiteral("Guardar"), "square.and.arrow.down",
        QString::fromStdString(with_key("Guardar en la carpeta de capturas", "s", CTRL)),
        act(&editor::VistropeEditorController::save_image));
    t.copy = button(QStringLiteral("Copiar"), "doc.on.doc",
        QString::fromStdString(with_key("Copiar al portapapeles", "c", CTRL)),
        act(&editor::VistropeEditorController::copy_image));
    QPalette accent = t.copy->palette();
    accent.setColor(QPalette::Button, accent.color(QPalette::Highlight));
    accent.setColor(QPalette::ButtonText, accent.color(QPalette::HighlightedText));
    t.copy->setPalette(accent);
    t.right_group = group();
    t.drag = new editor::VistropeEditorDrag(std::move(editor), symbol("hand.draw"));
    const int w3 = row(8, t.right_group, { t.drag, t.save_as, t.save, t.copy });
    t.right_group->resize(w3, ROW_HEIGHT);

    t.min_width = std::max(w1 + 24, w2 + w3 + 48);

    auto* top = new Row([centre = t.centre_group, w1](Row& r) { centre->move(centre_x(r.width(), w1), 0); });
    t.centre_group->setParent(top);
    auto* bottom = new Row([left = t.left_group, right = t.right_group, w3](Row& r) {
        left->move(left_x(), 0);
        right->move(right_x(r.width(), w3), 0);
    });
    t.left_group->setParent(bottom);
    t.right_group->setParent(bottom);
    top->resize(w, ROW_HEIGHT);
    bottom->resize(w, ROW_HEIGHT);
    top->set_hairline(ROW_HEIGHT - 1);
    bottom->set_hairline(0);
    t.top = top;
    t.bottom = bottom;
    // Rows built hidden place their groups now: no resize event comes before showing.
    t.centre_group->move(centre_x(w, w1), 0);
    t.left_group->move(left_x(), 0);
    t.right_group->move(right_x(w, w3), 0);
    return t;
}

} // namespace toolbar
