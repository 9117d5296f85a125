// Text recognition: accuracy and warm time of our recogniser against the
// tesseract command-line tool (-l spa+eng) on the same generated pictures.
//
// The pictures are UI text drawn with QPainter (Inter and DejaVu Sans, 11-16
// px, at scales 1 and 2, light and dark backgrounds): a single line, a
// paragraph, two columns, and a QR code with text beside it, each with its
// ground truth; and windows selected with their frame (a terminal and a Qt
// window, 12-16 px, with and without the title bar's icon and buttons). For every picture it prints the character error rate (CER,
// edit distance over ground-truth characters), the word error rate (WER) and
// the time; then the totals, and the warm time of a 900 × 600 selection.
//
// The command-line tool lays columns out one after the other, so error rates
// compare whitespace-collapsed text and take the better of the two reading
// orders (row by row, column by column) for both recognisers; "layout" counts
// our outputs that match the expected text exactly, tabs and blank lines too.
// Both sides are compared in Unicode compatibility form (NFKC), so "…" and
// "..." are the same text: neither model has the ellipsis. The middle dot "·",
// which the models read as "-", is left out of the pictures for the same reason.
#include "bench_common.h"
#include "capture/ocr.h"
#include "platform/text_recognizer.h"
#include "base/util.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QLinearGradient>
#include <QPen>
#include <QRadialGradient>
#include <QProcess>
#include <QTemporaryDir>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

struct Sample {
    std::string name;
    QImage image;
    std::vector<std::string> truths; // accepted reading orders; [0] is ours, exact
};

const std::vector<std::string> LINE = { "Configuración de la cámara: ¿añadir más información?" };
const std::vector<std::string> PARAGRAPH = {
    "El año pasado compré un teléfono nuevo.",
    "Después de la actualización, la batería",
    "dura menos; ¡qué lástima! Pero el niño",
    "está contento con la cámara y el sonido.",
};
const std::vector<std::string> PARAGRAPH_EN = {
    "Open the settings window and choose",
    "the folder where new screenshots are",
    "saved. Changes take effect right away.",
};
const std::vector<std::string> LEFT = { "Archivo", "Edición", "Preferencias", "Ayuda técnica" };
const std::vector<std::string> RIGHT = { "Guardar como…", "Deshacer acción", "Idioma: español", "Contactar soporte" };
const std::vector<std::string> BESIDE_QR = { "Escanea el código", "para abrir la página", "de descargas." };
const char* PANEL_LABEL = "Preferencias de la cuenta";
const char* PANEL_BUTTON = "Guardar cambios";
const char* PANEL_NOTE = "Última sincronización hace 5 minutos";
const char* QR_PAYLOAD = "https://example.org/descargas";

std::string join(const std::vector<std::string>& lines, const std::string& sep = "\n")
{
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += (i ? sep : "") + lines[i];
    return out;
}

struct Style {
    QString family;
    int px;
    double scale;
    bool dark;
};

QFont font_for(const Style& s)
{
    QFont f(s.family);
    f.setPixelSize(static_cast<int>(s.px * s.scale));
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

QImage canvas(int w, int h, const Style& s)
{
    QImage img(static_cast<int>(w * s.scale), static_cast<int>(h * s.scale), QImage::Format_RGB32);
    img.fill(s.dark ? QColor(30, 30, 32) : QColor(250, 250, 250));
    return img;
}

QColor ink(const Style& s)
{
    return s.dark ? QColor(235, 235, 235) : QColor(28, 28, 30);
}

// Lines drawn from (x, y) in points, with the font's line spacing.
void draw_lines(QPainter& p, const Style& s, double x, double y, const std::vector<std::string>& lines)
{
    const QFont f = font_for(s);
    p.setFont(f);
    p.setPen(ink(s));
    const QFontMetrics m(f);
    double baseline = y * s.scale + m.ascent();
    for (const auto& l : lines) {
        p.drawText(QPointF(x * s.scale, baseline), QString::fromStdString(l));
        baseline += m.lineSpacing() * 1.25;
    }
}

std::string style_name(const Style& s)
{
    return fmt::format("{}-{}px-x{:.0f}-{}", s.family.startsWith("Inter") ? "inter" : "dejavu", s.px, s.scale,
                       s.dark ? "oscuro" : "claro");
}

std::vector<Sample> make_samples(bool quick)
{
    std::vector<Style> styles;
    for (const char* family : { "Inter", "DejaVu Sans" })
        for (int px : { 11, 13, 16 })
            for (double scale : { 1.0, 2.0 })
                for (bool dark : { false, true })
                    styles.push_back({ family, px, scale, dark });
    if (quick)
        styles = { { "Inter", 13, 1.0, false } };

    std::vector<Sample> out;
    for (const Style& s : styles) {
        const double lh = s.px * 1.25 * 1.2; // a little more than the drawn spacing, in points
        {
            QImage img = canvas(static_cast<int>(s.px * 34), static_cast<int>(s.px * 3), s);
            QPainter p(&img);
            draw_lines(p, s, s.px, s.px * 0.8, LINE);
            p.end();
            out.push_back({ "linea-" + style_name(s), img, { join(LINE) } });
        }
        if (quick)
            break;
        {
            QImage img = canvas(static_cast<int>(s.px * 26), static_cast<int>(lh * 9 + s.px * 2), s);
            QPainter p(&img);
            draw_lines(p, s, s.px, s.px, PARAGRAPH);
            draw_lines(p, s, s.px, s.px + lh * 5.2, PARAGRAPH_EN);
            p.end();
            out.push_back({ "parrafo-" + style_name(s), img, { join(PARAGRAPH) + "\n\n" + join(PARAGRAPH_EN) } });
        }
        {
            QImage img = canvas(static_cast<int>(s.px * 34), static_cast<int>(lh * 4 + s.px * 2), s);
            QPainter p(&img);
            draw_lines(p, s, s.px, s.px, LEFT);
            draw_lines(p, s, s.px * 18, s.px, RIGHT);
            p.end();
            std::vector<std::string> rows;
            for (std::size_t i = 0; i < LEFT.size(); ++i)
                rows.push_back(LEFT[i] + "\t" + RIGHT[i]);
            std::vector<std::string> cols = LEFT;
            cols.insert(cols.end(), RIGHT.begin(), RIGHT.end());
            out.push_back({ "columnas-" + style_name(s), img, { join(rows), join(cols) } });
        }
        {
            // A settings header: a label, a coloured button far to its right
            // with white text, and grey secondary text under them.
            QImage img = canvas(static_cast<int>(s.px * 34), static_cast<int>(lh * 3 + s.px * 2), s);
            QPainter p(&img);
            p.setRenderHint(QPainter::Antialiasing);
            const QFont f = font_for(s);
            const QFontMetrics m(f);
            const double k = s.scale;
            draw_lines(p, s, s.px, s.px, { PANEL_LABEL });
            const double bx = s.px * 22, bw = m.horizontalAdvance(PANEL_BUTTON) / k + s.px * 1.6;
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(10, 100, 216));
            p.drawRoundedRect(QRectF(bx * k, (s.px * 0.6) * k, bw * k, (s.px * 1.9) * k), 6 * k, 6 * k);
            p.setPen(Qt::white);
            p.setFont(f);
            p.drawText(QPointF((bx + s.px * 0.8) * k, s.px * k + m.ascent()), PANEL_BUTTON);
            p.setFont(f);
            p.setPen(s.dark ? QColor(152, 152, 157) : QColor(110, 110, 115));
            p.drawText(QPointF(s.px * k, (s.px + lh * 1.1) * k + m.ascent()), PANEL_NOTE);
            p.end();
            out.push_back({ "panel-" + style_name(s), img,
                            { std::string(PANEL_LABEL) + "\t" + PANEL_BUTTON + "\n" + PANEL_NOTE } });
        }
        {
            const QImage qr = platform::render_qr_code(QR_PAYLOAD, static_cast<int>(3 * s.scale));
            QImage img = canvas(static_cast<int>(qr.width() / s.scale + s.px * 20),
                                static_cast<int>(std::max(qr.height() / s.scale, lh * 4) + s.px * 2), s);
            QPainter p(&img);
            p.drawImage(QPointF(s.px * s.scale, s.px * s.scale), qr);
            draw_lines(p, s, qr.width() / s.scale + s.px * 2, s.px + lh, BESIDE_QR);
            p.end();
            out.push_back({ "qr-" + style_name(s), img, { std::string(QR_PAYLOAD) + "\n\n" + join(BESIDE_QR) } });
        }
    }
    return out;
}

// A 900 × 600 point selection of UI text: rows of labels and values. With
// `framed`, window chrome crosses every row (borders, a divider, a scroll bar).
Sample ui_selection(bool dark, double scale, bool framed)
{
    const Style s { "Inter", 13, scale, dark };
    QImage img = canvas(900, 600, s);
    QPainter p(&img);
    if (framed) {
        p.scale(scale, scale);
        p.setPen(QPen(s.dark ? QColor(90, 90, 95) : QColor(160, 160, 165), 1));
        p.drawRect(QRectF(2.5, 2.5, 895, 595));
        p.drawLine(QPointF(455.5, 3), QPointF(455.5, 597));
        p.fillRect(QRectF(884, 3, 12, 594), s.dark ? QColor(60, 60, 64) : QColor(225, 225, 228));
        p.fillRect(QRectF(886, 40, 8, 120), s.dark ? QColor(120, 120, 124) : QColor(170, 170, 175));
        p.resetTransform();
    }
    std::vector<std::string> left, right, rows;
    for (int i = 0; i < 22; ++i) {
        left.push_back(fmt::format("Elemento {} de la lista: configuración", i + 1));
        right.push_back(fmt::format("Valor número {}, última revisión", i * 7 + 3));
        rows.push_back(left.back() + "\t" + right.back());
    }
    draw_lines(p, s, 20, 16, left);
    draw_lines(p, s, 470, 16, right);
    p.end();
    std::vector<std::string> cols = left;
    cols.insert(cols.end(), right.begin(), right.end());
    return { fmt::format("ui-900x600-x{:.0f}-{}{}", scale, dark ? "oscuro" : "claro", framed ? "-marco" : ""), img,
             { join(rows), join(cols) } };
}

// A window selected with its frame, as a user drags over it: an xterm
// (monospace, black on white) or a Qt window (sans labels on grey), 12-16 px
// text, with the title bar (its icon, title and buttons) or without it.
Sample framed_window(bool terminal, int px, bool title_bar)
{
    const Style s { terminal ? "DejaVu Sans Mono" : "Inter", px, 1, false };
    const std::vector<std::string> body = terminal
        ? std::vector<std::string> { "Hola mundo desde Vistrope", "Segunda línea de prueba 12345" }
        : std::vector<std::string> { "Nombre: Ana García", "Total: 1234 euros", "Estado: pagado" };
    const int bar = title_bar ? 28 : 0;
    const int w = 520, h = bar + 24 + static_cast<int>(body.size()) * (px * 2) + 16;
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(terminal ? QColor(255, 255, 255) : QColor(239, 239, 239));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    if (title_bar) {
        p.fillRect(0, 0, w, bar, QColor(214, 214, 216));
        // The icon: taller than the title's letters, a dark glyph of its own.
        p.setBrush(QColor(40, 40, 44));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(6, 3, 22, 22), 4, 4);
        p.setBrush(QColor(240, 240, 240));
        p.drawRect(QRectF(10, 8, 10, 3));
        p.drawRect(QRectF(10, 14, 6, 3));
        QFont title("Inter");
        title.setPixelSize(13);
        title.setBold(true);
        p.setFont(title);
        p.setPen(QColor(30, 30, 30));
        p.drawText(QRectF(0, 0, w, bar), Qt::AlignCenter, terminal ? "Terminal" : "Factura");
        // Minimise, maximise, close.
        p.setPen(QPen(QColor(50, 50, 50), 2));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(w - 78, 18), QPointF(w - 66, 18));
        p.drawRect(QRectF(w - 52, 8, 11, 11));
        p.drawLine(QPointF(w - 26, 8), QPointF(w - 15, 19));
        p.drawLine(QPointF(w - 15, 8), QPointF(w - 26, 19));
    }
    p.setPen(QPen(QColor(150, 150, 150), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, w - 1, h - 1));
    draw_lines(p, s, 12, bar + 12, body);
    p.end();
    std::string truth = join(body);
    if (title_bar)
        truth = std::string(terminal ? "Terminal" : "Factura") + "\n" + truth;
    return { fmt::format("ventana-{}-{}px-{}", terminal ? "xterm" : "qt", px, title_bar ? "con-barra" : "sin-barra"), img,
             { truth } };
}

std::vector<Sample> window_samples(bool quick)
{
    std::vector<Sample> out;
    for (bool terminal : { true, false })
        for (int px : quick ? std::vector<int> { 16 } : std::vector<int> { 12, 14, 16 })
            for (bool bar : { true, false })
                out.push_back(framed_window(terminal, px, bar));
    return out;
}

// Text over busy backgrounds: gradients, a design tool's grid, a photo-like
// field of soft blobs, dark (white text) and light (dark text), cropped from
// the top left at the sizes a selection takes, from a title's own box to a
// full screen. Two title lines at the top left; larger crops also hold a
// paragraph further down, whose first line starts left of the title's grid
// column so that both blocks read in row order.
enum class Backdrop { Gradient, Grid, FineGrid, Photo };

const std::vector<std::string> BUSY_TITLE = { "Texto blanco sobre el fondo", "Segunda línea de la prueba" };
const std::vector<std::string> BUSY_BODY = {
    "Las imágenes de fondo no son texto:",
    "la rejilla y el degradado se ignoran",
    "y solo se copian estas palabras.",
};

void paint_backdrop(QPainter& p, QSize size, Backdrop kind, bool dark, unsigned seed)
{
    const QColor a = dark ? QColor(24, 60, 120) : QColor(250, 236, 200);
    const QColor b = dark ? QColor(120, 40, 110) : QColor(180, 220, 245);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    p.fillRect(QRect(QPoint(0, 0), size), g);
    if (kind == Backdrop::Photo) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(0, 1);
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 160; ++i) {
            const QPointF c(u(rng) * size.width(), u(rng) * size.height());
            const double r = 30 + u(rng) * 220;
            const int lo = dark ? 0 : 150, span = 105;
            QColor col(lo + static_cast<int>(u(rng) * span), lo + static_cast<int>(u(rng) * span),
                       lo + static_cast<int>(u(rng) * span), 110);
            QRadialGradient rg(c, r);
            rg.setColorAt(0, col);
            col.setAlpha(0);
            rg.setColorAt(1, col);
            p.setBrush(rg);
            p.drawEllipse(c, r, r);
        }
    }
    if (kind == Backdrop::Grid || kind == Backdrop::FineGrid) {
        const int step = kind == Backdrop::Grid ? 100 : 20;
        p.setPen(QPen(dark ? QColor(255, 255, 255, kind == Backdrop::Grid ? 110 : 50)
                           : QColor(0, 0, 0, kind == Backdrop::Grid ? 90 : 40),
                      1));
        for (int x = step; x < size.width(); x += step)
            p.drawLine(x, 0, x, size.height() - 1);
        for (int y = step; y < size.height(); y += step)
            p.drawLine(0, y, size.width() - 1, y);
    }
}

std::vector<Sample> busy_samples(bool quick)
{
    const QSize full(1920, 1080);
    std::vector<QSize> sizes = { { 470, 70 }, { 700, 450 }, { 1199, 529 }, { 1920, 1080 } };
    std::vector<Backdrop> kinds = { Backdrop::Gradient, Backdrop::Grid, Backdrop::FineGrid, Backdrop::Photo };
    std::vector<bool> tones = { true, false };
    if (quick) {
        sizes = { { 470, 70 } };
        kinds = { Backdrop::Grid };
        tones = { true };
    }
    const char* kind_names[] = { "degradado", "rejilla", "rejilla-fina", "foto" };
    std::vector<Sample> out;
    unsigned seed = 7;
    for (const Backdrop kind : kinds)
        for (const bool dark : tones) {
            QImage picture(full, QImage::Format_RGB32);
            QPainter p(&picture);
            p.setRenderHint(QPainter::Antialiasing);
            paint_backdrop(p, full, kind, dark, seed++);
            p.setPen(dark ? QColor(Qt::white) : QColor(20, 20, 24));
            QFont title("DejaVu Sans");
            title.setPixelSize(28);
            p.setFont(title);
            const QFontMetrics tm(title);
            p.drawText(QPointF(12, 2 + tm.ascent()), QString::fromStdString(BUSY_TITLE[0]));
            p.drawText(QPointF(12, 35 + tm.ascent()), QString::fromStdString(BUSY_TITLE[1]));
            QFont body("Inter");
            body.setPixelSize(20);
            p.setFont(body);
            const QFontMetrics bm(body);
            for (std::size_t i = 0; i < BUSY_BODY.size(); ++i)
                p.drawText(QPointF(240, 150 + bm.ascent() + i * bm.lineSpacing() * 1.3),
                           QString::fromStdString(BUSY_BODY[i]));
            p.end();
            for (const QSize size : sizes) {
                // The body's first line lies below 150 px; its last one above 260.
                const bool with_body = size.height() >= 260 && size.width() >= 620;
                const std::string truth = with_body ? join(BUSY_TITLE) + "\n\n" + join(BUSY_BODY) : join(BUSY_TITLE);
                out.push_back({ fmt::format("fondo-{}-{}-{}x{}", kind_names[static_cast<int>(kind)],
                                            dark ? "oscuro" : "claro", size.width(), size.height()),
                                picture.copy(QRect(QPoint(0, 0), size)), { truth } });
            }
        }
    return out;
}

std::u32string collapse(const std::string& s)
{
    // Compatibility forms count as equal ("…" and "...", ligatures).
    const QString q = QString::fromStdString(s).normalized(QString::NormalizationForm_KC).simplified();
    const auto ucs = q.toUcs4();
    return std::u32string(ucs.begin(), ucs.end());
}

template <typename T>
std::size_t edit_distance(const std::vector<T>& a, const std::vector<T>& b)
{
    std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
    std::iota(prev.begin(), prev.end(), 0);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j)
            cur[j] = std::min({ prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1) });
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

struct Score {
    std::size_t char_errors = 0, chars = 0, word_errors = 0, words = 0;
    double cer() const { return chars ? 100.0 * char_errors / chars : 0; }
    double wer() const { return words ? 100.0 * word_errors / words : 0; }
    void add(const Score& o)
    {
        char_errors += o.char_errors;
        chars += o.chars;
        word_errors += o.word_errors;
        words += o.words;
    }
};

std::vector<std::u32string> words_of(const std::u32string& s)
{
    std::vector<std::u32string> out;
    std::u32string cur;
    for (char32_t c : s) {
        if (c == U' ') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

// The best score over the accepted reading orders.
Score score(const std::string& got, const std::vector<std::string>& truths)
{
    Score best;
    bool first = true;
    const std::u32string g = collapse(got);
    for (const auto& t : truths) {
        const std::u32string e = collapse(t);
        Score s;
        s.chars = e.size();
        s.char_errors = edit_distance(std::vector<char32_t>(e.begin(), e.end()), std::vector<char32_t>(g.begin(), g.end()));
        const auto we = words_of(e), wg = words_of(g);
        s.words = we.size();
        s.word_errors = edit_distance(we, wg);
        if (first || s.char_errors < best.char_errors) {
            best = s;
            first = false;
        }
    }
    return best;
}

std::string run_cli(const QString& png, double& ms)
{
    QProcess proc;
    const auto t0 = std::chrono::steady_clock::now();
    proc.start("tesseract", { png, "stdout", "-l", "spa+eng" });
    proc.waitForFinished(120000);
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return proc.readAllStandardOutput().toStdString();
}

void use(platform::TesseractOptions options)
{
    ocr::set_recognizer(platform::create_tesseract_recognizer(std::move(options)));
    ocr::warm_up();
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = bench::smoke(argc, argv);
    QGuiApplication app(argc, argv);
    char tmpl[] = "/tmp/vistrope-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    ::setenv("HOME", tmpl, 1); // keep the real log untouched
    QTemporaryDir dir;
    bool have_cli = false;
    {
        QProcess probe;
        probe.start("tesseract", { "--version" });
        have_cli = probe.waitForFinished(10000) && probe.exitCode() == 0;
    }
    platform::TesseractOptions ours;
    if (const char* t = std::getenv("BENCH_OCR_TARGET"))
        ours.target_line_px = std::atoi(t);
    if (const char* f = std::getenv("BENCH_OCR_PATCHES"))
        ours.read_patches = std::atoi(f) != 0;
    if (const char* b = std::getenv("BENCH_OCR_BLOCK"))
        ours.single_block = std::atoi(b) != 0;
    platform::TesseractOptions flat = ours;
    flat.max_upscale = 1;

    {
        const util::Stopwatch sw("precalentar");
        use(ours);
        std::printf("warm-up (engines loaded): %.1f ms\n", sw.elapsed_ms());
    }

    std::vector<Sample> samples = make_samples(quick);
    samples.push_back(ui_selection(false, 1, false));
    for (Sample& s : busy_samples(quick))
        samples.push_back(std::move(s));
    for (Sample& s : window_samples(quick))
        samples.push_back(std::move(s));
    if (!quick) {
        samples.push_back(ui_selection(true, 1, false));
        samples.push_back(ui_selection(false, 1, true));
        samples.push_back(ui_selection(true, 1, true));
        samples.push_back(ui_selection(false, 2, true));
    }

    // BENCH_OCR_ONLY=text keeps the pictures whose name holds it (for tuning).
    if (const char* only = std::getenv("BENCH_OCR_ONLY"))
        std::erase_if(samples, [&](const Sample& s) { return s.name.find(only) == std::string::npos; });
    if (std::getenv("BENCH_OCR_NO_CLI"))
        have_cli = false;

    // Our recogniser, then the same without upscaling, then the tool.
    std::vector<std::string> got(samples.size()), got_flat(samples.size()), got_cli(samples.size());
    std::vector<double> ours_ms(samples.size()), cli_ms(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        ours_ms[i] = bench::time_runs(quick ? 1 : 3, [&] { got[i] = ocr::recognize_sync(samples[i].image).text; }).median_ms;
    if (!quick) {
        use(flat);
        for (std::size_t i = 0; i < samples.size(); ++i)
            got_flat[i] = ocr::recognize_sync(samples[i].image).text;
        use(ours);
    }
    if (have_cli)
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const QString png = dir.filePath(QString::fromStdString(samples[i].name) + ".png");
            samples[i].image.save(png, "PNG");
            got_cli[i] = run_cli(png, cli_ms[i]);
        }

    const auto nfkc = [](const std::string& t) { return QString::fromStdString(t).normalized(QString::NormalizationForm_KC); };
    Score ours_total, flat_total, cli_total, ours_busy, cli_busy;
    int exact = 0, worse = 0, busy = 0;
    std::vector<std::string> worse_names;
    std::printf("%-34s %7s %7s %8s | %9s | %8s %7s %8s\n", "picture", "CER%", "WER%", "warm ms", "no-up CER%", "cli CER%",
                "WER%", "cli ms");
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        const Score o = score(got[i], s.truths);
        ours_total.add(o);
        if (nfkc(got[i]) == nfkc(s.truths[0]))
            ++exact;
        else if (std::getenv("BENCH_OCR_VERBOSE"))
            std::printf("--- %s got:\n%s\n--- expected:\n%s\n", s.name.c_str(), got[i].c_str(), s.truths[0].c_str());
        Score f, c;
        if (!quick) {
            f = score(got_flat[i], s.truths);
            flat_total.add(f);
        }
        if (have_cli) {
            c = score(got_cli[i], s.truths);
            cli_total.add(c);
            if (o.char_errors > c.char_errors) {
                ++worse;
                worse_names.push_back(s.name);
            }
        }
        if (s.name.rfind("fondo-", 0) == 0) {
            ++busy;
            ours_busy.add(o);
            cli_busy.add(c);
        }
        std::printf("%-34s %7.2f %7.2f %8.1f | %9.2f | %8.2f %7.2f %8.1f%s\n", s.name.c_str(), o.cer(), o.wer(),
                    ours_ms[i], f.cer(), c.cer(), c.wer(), cli_ms[i],
                    o.char_errors > c.char_errors ? "  <- worse than cli" : "");
    }
    std::printf("\nTOTAL ours:           CER %.3f%%  WER %.3f%%  median warm %.1f ms  exact layout %d/%zu\n",
                ours_total.cer(), ours_total.wer(), bench::summarize(ours_ms).median_ms, exact, samples.size());
    if (!quick)
        std::printf("TOTAL ours, no upscale: CER %.3f%%  WER %.3f%%\n", flat_total.cer(), flat_total.wer());
    if (have_cli)
        std::printf("TOTAL cli:            CER %.3f%%  WER %.3f%%  median %.1f ms (a new process each, models loaded each time)\n"
                    "pictures where ours has more character errors than cli: %d of %zu\n",
                    cli_total.cer(), cli_total.wer(), bench::summarize(cli_ms).median_ms, worse, samples.size());
    if (have_cli && busy)
        std::printf("busy backgrounds (%d pictures): ours CER %.3f%% WER %.3f%%, cli CER %.3f%% WER %.3f%%\n", busy,
                    ours_busy.cer(), ours_busy.wer(), cli_busy.cer(), cli_busy.wer());
    for (const std::string& name : worse_names)
        std::printf("worse than cli: %s\n", name.c_str());

    bool timed = false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].name.rfind("ui-", 0) != 0 || (quick && timed))
            continue;
        timed = true;
        const auto t = bench::time_runs(quick ? 1 : 7, [&] { (void)ocr::recognize_sync(samples[i].image); });
        std::printf("%s (%dx%d px), warm: median %.1f ms, p99 %.1f ms, min %.1f ms; cli %.1f ms; ratio cli/ours %s\n",
                    samples[i].name.c_str(), samples[i].image.width(), samples[i].image.height(), t.median_ms,
                    t.p99_ms, t.min_ms, cli_ms[i], bench::ratio(cli_ms[i], t.median_ms).c_str());
    }
    std::printf("(%u cores, shared with other helpers' builds while measured)\n", util::parallelism());
    std::filesystem::remove_all(tmpl);
    return 0;
}
