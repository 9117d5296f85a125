#include "editor/selfcheck.h"

#include "base/files.h"
#include "base/publish.h"
#include "base/png_chunks.h"
#include "base/util.h"
#include "capture/output.h"
#include "editor/mod.h"
#include "editor/render.h"
#include "editor/text_field.h"
#include "editor/views.h"
#include "editor/window.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWindow>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace fs = std::filesystem;

namespace editor {

using model::Point;
using model::Tool;

namespace {

using Result = std::expected<void, std::string>;

// Past this no picture decodes anyway (the toolkit refuses images of more
// than 256 MiB), and the decoder takes an int size.
constexpr std::uint64_t MAX_PICTURE_BYTES = 1u << 30;

Result failed(std::string_view check) { return std::unexpected(fmt::format("interacción: {}", check)); }

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

std::string crop_text(const std::optional<model::Rect>& crop)
{
    if (!crop)
        return "ninguno";
    return fmt::format("({:.0f}, {:.0f}) {:.0f}×{:.0f} px", crop->x, crop->y, crop->w, crop->h);
}

// The scripted document, placed by fractions of the picture. Each kind
// keeps clear of the points where the checks press with the tool of that
// kind: arrows of the idle click, rectangles of the new square's corner,
// texts of the text field's click, counters of the two counter clicks.
// Texts wrap well left of the text click or start below it, whatever the
// picture's size.
void script_document(Editing& e)
{
    const double w = e.image_size().w;
    const double h = e.image_size().h;
    const double s = e.scale();
    const auto at = [&](double fx, double fy) { return Point { fx * w, fy * h }; };
    const auto two = [&](Tool kind, Point a, Point b, int color, int size) {
        e.append(model::TwoPoint { a, b }, kind, color, size);
    };
    const auto text = [&](std::string words, Point origin, double wrap, int color, int size) {
        const model::Size box = render::measure_text(words, size, s, wrap);
        e.append(model::Text { std::move(words), origin, box, wrap }, Tool::Text, color, size);
    };

    two(Tool::Arrow, at(0.62, 0.08), at(0.8, 0.2), 0, 1);
    two(Tool::Arrow, at(0.95, 0.06), at(0.86, 0.28), 1, 2);
    two(Tool::Rectangle, at(0.04, 0.2), at(0.18, 0.36), 3, 1);
    two(Tool::FilledRectangle, at(0.22, 0.2), at(0.44, 0.34), 4, 1);
    two(Tool::Ellipse, at(0.7, 0.32), at(0.94, 0.46), 5, 1);
    two(Tool::Line, at(0.05, 0.95), at(0.45, 0.92), 6, 0);

    text("Hola, Vistrope", at(0.04, 0.04), 0.42 * w, 0, 2);
    text("texto blanco", at(0.235, 0.23), 0.2 * w, 7, 1);
    text("amarillo", at(0.58, 0.86), 0.3 * w, 2, 0);
    text("Este texto es largo y se parte solo al llegar al ancho de línea.\nY este va tras un salto manual.",
        at(0.04, 0.42), 0.4 * w, 6, 1);

    for (int i = 0; i < 3; ++i)
        e.append(model::Counter { at(0.5 + 0.05 * i, 0.06), std::uint32_t(i + 1) }, Tool::Counter, i, i);

    std::vector<Point> sine;
    for (int i = 0; i < 60; ++i) {
        const double t = i / 59.0;
        sine.push_back(at(0.55 + 0.3 * t, 0.72 + 0.04 * std::sin(t * 2 * std::numbers::pi)));
    }
    e.append(model::Stroke { model::StrokePoints(std::move(sine)) }, Tool::Pencil, 0, 1);
    e.append(model::Stroke { { at(0.55, 0.8), at(0.7, 0.805), at(0.8, 0.8) } }, Tool::Highlighter, 2, 1);
    two(Tool::Pixelate, at(0.5, 0.14), at(0.6, 0.3), 0, 1);
    two(Tool::Blur, at(0.7, 0.52), at(0.84, 0.64), 0, 2);
}

// Drives one editor as its overlay does and checks the outcome.
class Script {
public:
    Script(Editor& editor, EditorWindow& window)
        : m_editing(editor.editing())
        , m_window(window)
        , m_w(editor.editing().image_size().w)
        , m_h(editor.editing().image_size().h)
    {
    }

    Result run()
    {
        for (Result (Script::*step)() : { &Script::idle_click, &Script::new_square, &Script::move_and_delete,
                 &Script::counters, &Script::typing, &Script::committed_text }) {
            if (Result r = (this->*step)(); !r)
                return r;
        }
        while (!m_editing.undo_stack().empty())
            m_editing.undo();
        if (m_editing.doc() != m_scripted)
            return failed("deshacer todo");
        util::log("interacción simulada: todo bien");
        return {};
    }

    void remember_script() { m_scripted = m_editing.doc(); }

private:
    // Image pixels at fractions of the picture, in view points.
    Point view(double fx, double fy) const { return m_editing.mapping().to_view({ fx * m_w, fy * m_h }); }
    Point view(Point p) const { return m_editing.mapping().to_view(p); }
    void click(Point v)
    {
        m_editing.mouse_down(false, 1, v);
        m_editing.mouse_up();
    }
    const model::Annotation* top() const
    {
        const auto& items = m_editing.doc().annotations;
        return items.empty() ? nullptr : &items.back();
    }
    // The edge length of the check's square, image pixels.
    double square() const { return 0.2 * std::min(m_w, m_h); }

    Result idle_click()
    {
        m_editing.set_tool(Tool::Arrow);
        const std::size_t count = m_editing.doc().annotations.size();
        const std::size_t depth = m_editing.undo_stack().size();
        click(view(0.5, 0.25));
        if (m_editing.doc().annotations.size() != count || m_editing.undo_stack().size() != depth)
            return failed("un clic creó una flecha");
        return {};
    }

    // A square whose top edge runs through (0.4, 0.41), its corners far
    // enough from that point that a press there takes the edge, not a handle.
    Result new_square()
    {
        m_editing.set_tool(Tool::Rectangle);
        const double q = square();
        const Point start { 0.4 * m_w - q / 2, 0.41 * m_h };
        const Point loose { start.x + q, start.y + q / 2 };
        m_editing.mouse_down(false, 1, view(start));
        m_editing.mouse_dragged(false, view(loose));
        m_editing.mouse_dragged(true, view(loose));
        m_editing.mouse_up();
        const model::Annotation* a = top();
        if (!a)
            return std::unexpected(std::string("sin rectángulo"));
        const auto* g = std::get_if<model::TwoPoint>(&a->geom);
        if (!g)
            return failed("geometría");
        const model::Rect box = model::Rect::between(g->start, g->end);
        const bool square = std::abs(box.w - box.h) < 0.5 && std::abs(box.w - q) < 1;
        if (a->kind != std::uint8_t(Tool::Rectangle) || m_editing.selection() != a->id || !square)
            return failed("crear rectángulo");
        m_square = a->id;
        return {};
    }

    Result move_and_delete()
    {
        m_editing.set_tool(Tool::Select);
        const auto geometry = [&]() -> std::optional<model::TwoPoint> {
            const model::Annotation* a = m_editing.doc().find(m_square);
            if (!a)
                return std::nullopt;
            return std::get<model::TwoPoint>(a->geom);
        };
        const auto before = geometry();
        m_editing.mouse_down(false, 1, view(0.4, 0.41));
        m_editing.mouse_dragged(false, view(0.42, 0.43));
        m_editing.mouse_up();
        const auto moved = geometry();
        if (!before || !moved || std::hypot(moved->start.x - before->start.x, moved->start.y - before->start.y) < 1)
            return failed("mover");
        m_editing.undo();
        if (geometry() != before)
            return failed("deshacer movimiento");
        m_editing.redo();
        if (geometry() != moved)
            return failed("deshacer movimiento");

        const std::size_t count = m_editing.doc().annotations.size();
        m_editing.delete_selected();
        if (geometry() || m_editing.doc().annotations.size() + 1 != count)
            return failed("borrar");
        m_editing.undo();
        if (geometry() != moved)
            return failed("deshacer borrado");
        return {};
    }

    // Two clicks that each make a counter: the second stands clear of the
    // first one's circle and of the distance a press still grabs it from.
    Result counters()
    {
        m_editing.set_tool(Tool::Counter);
        const double radius = model::COUNTER_RADII[std::clamp(m_editing.size(), 0, 2)] * m_editing.scale();
        const double tolerance = 5 / m_editing.mapping().zoom;
        const double apart = std::max(0.05 * m_w, 2 * (radius + tolerance));
        const Point first { 0.9 * m_w, 0.9 * m_h };
        const Point second { first.x + apart <= m_w ? first.x + apart : first.x - apart, first.y };
        const std::uint32_t next = m_editing.doc().next_counter();
        click(view(first));
        click(view(second));
        if (m_editing.doc().next_counter() != next + 2)
            return failed("contador");
        return {};
    }

    Result open_field()
    {
        m_editing.set_tool(Tool::Text);
        click(view(0.6, 0.5));
        if (!m_editing.text_edit() || !m_window.text_field())
            return std::unexpected(std::string("sin campo de texto"));
        return {};
    }

    // A long line, a line break and a short line typed into a new field:
    // the field wraps before the picture's right edge.
    Result typing()
    {
        if (Result r = open_field(); !r)
            return r;
        TextField* field = m_window.text_field();
        const int one_line = field->height();
        for (const char* part : { "Hola, este es un texto largo que debe partirse en varias líneas", "\n", "fin" }) {
            field->insertPlainText(QString::fromUtf8(part));
            m_editing.fit_text_field();
        }
        const QRect frame = field->geometry();
        const double right = view(Point { m_w, 0 }).x;
        util::log(fmt::format("texto tecleado: campo {}×{} pt, una línea {} pt, borde derecho de la imagen {:.1f} pt",
            frame.width(), frame.height(), one_line, right));
        // The frame is the text's box rounded out to whole points.
        const bool inside = frame.x() + frame.width() <= right + 1;
        m_editing.cancel_text();
        if (!inside)
            return failed("el texto largo no se partió dentro de la imagen");
        return {};
    }

    Result committed_text()
    {
        if (Result r = open_field(); !r)
            return r;
        const TextEdit edit = *m_editing.text_edit();
        const std::size_t count = m_editing.doc().annotations.size();
        m_window.text_field()->setPlainText(QStringLiteral("Prueba"));
        m_editing.commit_text();
        const model::Annotation* a = top();
        const auto* text = a ? std::get_if<model::Text>(&a->geom) : nullptr;
        if (!text || m_editing.doc().annotations.size() != count + 1)
            return failed("sin texto");
        if (text->text != "Prueba")
            return failed("texto");
        const double font = model::TEXT_SIZES[std::clamp(edit.size, 0, 2)] * m_editing.scale();
        const double line = render::shape_text(text->text, render::text_font(font), text->wrap_width).size.height();
        util::log(fmt::format("texto confirmado: caja {:.1f}×{:.1f} px, ancho de línea {:.1f} px, alto de línea {:.1f} px",
            text->size.w, text->size.h, text->wrap_width, line));
        const model::Size measured = render::measure_text(text->text, edit.size, m_editing.scale(), text->wrap_width);
        if (std::abs(measured.w - text->size.w) > 0.5 || std::abs(measured.h - text->size.h) > 0.5
            || text->wrap_width != edit.wrap_width)
            return failed("geometría de texto");
        return {};
    }

    Editing& m_editing;
    EditorWindow& m_window;
    double m_w;
    double m_h;
    model::Doc m_scripted;
    std::uint64_t m_square = 0;
};

Result write(const fs::path& path, const std::vector<std::uint8_t>& png)
{
    if (auto written = publish::write_output(path, png); !written)
        return std::unexpected(written.error());
    util::log("escrito " + path.string());
    return {};
}

Result write_export(Editor& editor, const fs::path& path)
{
    auto exported = export_editor(editor);
    if (!exported)
        return std::unexpected(std::string("exportación vacía"));
    return write(path, encode(exported->first, exported->second));
}

Result write_window(Editor& editor, const fs::path& path)
{
    QCoreApplication::processEvents();
    return snapshot(editor, path);
}

// Drags a rectangle with the current tool from one fraction of the picture
// to another.
void drag_across(Editing& e, Point from, Point to)
{
    const model::Size size = e.image_size();
    const auto view = [&](Point f) { return e.mapping().to_view({ f.x * size.w, f.y * size.h }); };
    e.mouse_down(false, 1, view(from));
    e.mouse_dragged(false, view({ (from.x + to.x) / 2, (from.y + to.y) / 2 }));
    e.mouse_dragged(false, view(to));
    e.mouse_up();
}

Result write_files(Editor& editor, const fs::path& output)
{
    Editing& e = editor.editing();
    const util::Stopwatch watch("autoprueba");
    if (Result r = write_export(editor, output); !r)
        return r;
    watch.lap("exportación completa");
    if (Result r = write_window(editor, self_check_file(output, "window")); !r)
        return r;

    e.set_tool(Tool::Spotlight);
    drag_across(e, { 0.3, 0.2 }, { 0.7, 0.6 });
    Result spotlight = write_export(editor, self_check_file(output, "spotlight"));
    e.undo();
    e.set_tool(Tool::Select);
    if (!spotlight)
        return spotlight;

    e.set_background(true);
    if (Result r = write_export(editor, self_check_file(output, "background")); !r)
        return r;
    if (Result r = write_window(editor, self_check_file(output, "window-background")); !r)
        return r;

    e.set_background(false);
    e.set_tool(Tool::Crop);
    drag_across(e, { 0.1, 0.12 }, { 0.75, 0.8 });
    if (Result r = write_window(editor, self_check_file(output, "window-crop")); !r)
        return r;
    e.apply_crop();
    if (Result r = write_export(editor, self_check_file(output, "cropped")); !r)
        return r;
    e.undo();
    util::log("deshacer tras recortar: recorte = " + crop_text(e.doc().crop));
    return {};
}

} // namespace

fs::path self_check_file(const fs::path& output, std::string_view suffix)
{
    if (suffix.empty())
        return output;
    fs::path out = output;
    return out.replace_filename(fmt::format("{}-{}.png", output.stem().string(), suffix));
}

std::optional<double> png_dots_per_inch(std::span<const std::uint8_t> file)
{
    static constexpr std::uint8_t SIGNATURE[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
    if (file.size() < 8 || !std::equal(SIGNATURE, SIGNATURE + 8, file.begin()))
        return std::nullopt;
    // Chunks: length, type, data, CRC. pHYs comes before the first IDAT.
    std::size_t at = 8;
    while (file.size() - at >= 12) {
        const std::uint32_t length = be32(&file[at]);
        const std::string_view type(reinterpret_cast<const char*>(&file[at + 4]), 4);
        if (length > file.size() - at - 12 || type == "IDAT" || type == "IEND")
            return std::nullopt;
        if (type == "pHYs") {
            // Pixels per unit across, down, and the unit: 1 is the metre.
            const std::uint8_t* data = &file[at + 8];
            if (length != 9 || data[8] != 1 || be32(data) == 0)
                return std::nullopt;
            return be32(data) * 0.0254;
        }
        at += 12 + std::size_t(length);
    }
    return std::nullopt;
}

double picture_scale(std::uint64_t pixel_width, std::optional<double> dpi)
{
    // Screens run from a quarter to 8 pixels a point; a file that claims
    // more (or less) states no scale we could show it at.
    if (!dpi || !(*dpi >= 72 * 0.25 && *dpi <= 72 * 8 + 0.5))
        return 1;
    const double points = double(pixel_width) * 72 / *dpi;
    return std::max(std::round(double(pixel_width) / std::max(points, 1.0)), 1.0);
}

std::expected<void, std::string> debug_render(const std::string& input, const std::string& output)
{
    util::require_main_thread("hilo principal");
    // By its bytes, so a name that is not UTF-8 opens too; only a regular
    // file, so a FIFO or a device cannot hold the check.
    const auto bytes = files::read_regular(fs::path(input), MAX_PICTURE_BYTES);
    if (!bytes)
        return std::unexpected("no pude abrir " + input);
    const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
    // The decoder allocates whatever length a chunk claims before it finds
    // the file too short: a PNG's chunks are walked first.
    if (png_chunks::is_png(data))
        if (const auto fits = png_chunks::check(data); !fits)
            return std::unexpected(fmt::format("no pude abrir {}: {}", input, fits.error()));
    QImage image;
    if (!image.loadFromData(reinterpret_cast<const uchar*>(bytes->data()), int(bytes->size())) || image.isNull())
        return std::unexpected("no pude abrir " + input);
    const double scale = picture_scale(std::uint64_t(image.width()), png_dots_per_inch(data));
    util::log(fmt::format("autoprueba del editor: {}×{} px a escala {:.0f}", image.width(), image.height(), scale));

    std::unique_ptr<VistropeEditorController> controller = build(std::move(image), scale);
    const std::shared_ptr<Editor> editor = controller->editor();
    EditorWindow* window = controller->window();
    Editing& e = editor->editing();
    e.set_color(0);
    e.set_size(1);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->show();
    // On screen first, as a user sees the window before acting on it; a
    // display that never shows it only makes the check draw offscreen.
    const QDeadlineTimer shown(2000);
    while (!(window->windowHandle() && window->windowHandle()->isExposed()) && !shown.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

    script_document(e);
    e.sync_controls();
    window->overlay()->repaint();

    Script script(*editor, *window);
    script.remember_script();
    if (Result r = script.run(); !r)
        return r;
    e.set_tool(Tool::Select);

    VistropeEditorOverlay* overlay = window->overlay();
    for (int i = 1; i <= 3; ++i) {
        const util::Stopwatch watch("overlay");
        const QPixmap picture = overlay->grab();
        watch.lap(fmt::format("repintado completo #{} ({}×{} pt)", i, overlay->width(), overlay->height()));
    }

    if (Result r = write_files(*editor, fs::path(output)); !r)
        return r;
    window->close();
    controller.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return {};
}

} // namespace editor
