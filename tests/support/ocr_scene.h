// The corpus of text recognition on real windows: each scene of
// ocr_cases.h shown by its program (xterm, mousepad, zenity, xmessage or a
// Qt dialog of this process) on the session's desktop, its lines found on
// the screen, and every selection of it read by ours (in process) and by the
// tesseract command line, then judged. Shared by the corpus test and
// bench_ocr's corpus mode; needs a display and a QApplication.
#pragma once

#include "ocr_cases.h"
#include "real_programs.h"
#include "tesseract_cli.h"
#include "x_tools.h"

#include "capture/ocr.h"

#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWindow>

#include <fmt/ranges.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace testing_support::ocr_cases {

// One scene's window, up while the object lives.
class SceneWindow {
public:
    explicit SceneWindow(const Scene& scene) : m_scene(scene) {}

    // Shows the window; false when it never showed.
    bool show()
    {
        const Scene& s = m_scene;
        const QString place = QString("+%1+%2").arg(s.x).arg(s.y);
        int chars = 0;
        for (const std::string& line : s.lines)
            chars = std::max<int>(chars, QString::fromStdString(line).size());
        switch (s.program) {
        case Program::Xterm: {
            QString command = "printf '%s\\n'";
            for (const std::string& line : s.lines)
                command += " '" + QString::fromStdString(line) + "'";
            QStringList args = { "+sb", "-title", "terminal", "-geometry",
                                 QString("%1x%2").arg(chars + 2).arg(s.lines.size() + 1) + place };
            args += s.dark ? QStringList { "-bg", "black", "-fg", "#d0d0d0" } : QStringList { "-bg", "white", "-fg", "black" };
            if (!s.font.family.empty())
                args += { "-fa", QString::fromStdString(s.font.family), "-fs", QString::number(s.pt) };
            args += { "-e", "sh", "-c", command + "; exec sleep 900" };
            return m_program.start("xterm", args, 30) && m_program.settle();
        }
        case Program::Mousepad: {
            // Its font and colours from a settings file of its own.
            const QString config = m_dir.filePath("config");
            std::filesystem::create_directories((config + "/glib-2.0/settings").toStdString());
            const char* scheme = s.dark ? (s.seed % 2 ? "oblivion" : "cobalt") : (s.seed % 2 ? "classic" : "tango");
            write(config + "/glib-2.0/settings/keyfile",
                  fmt::format("[org/xfce/mousepad/preferences/view]\nuse-default-monospace-font=false\n"
                              "font-name='{} {}'\ncolor-scheme='{}'\n",
                              s.font.family, s.pt, scheme));
            // A caret that does not blink, moved past the text: the crops of
            // one seed are the same from run to run and no line starts under it.
            std::filesystem::create_directories((config + "/gtk-3.0").toStdString());
            write(config + "/gtk-3.0/settings.ini", "[Settings]\ngtk-cursor-blink=false\n");
            const QString doc = m_dir.filePath("notas.txt");
            std::string text;
            for (const std::string& line : s.lines)
                text += line + "\n";
            write(doc, text);
            if (!m_program.start("env", { "GSETTINGS_BACKEND=keyfile", "XDG_CONFIG_HOME=" + config,
                                          QString("GTK_THEME=Adwaita") + (s.dark ? ":dark" : ""), "mousepad", doc }))
                return false;
            const int w = 160 + chars * s.pt * 96 / 72 * 7 / 10, h = 140 + static_cast<int>(s.lines.size()) * s.pt * 2 * 96 / 72;
            run("xdotool", { "windowsize", "--sync", QString::fromStdString(m_program.window()), QString::number(w),
                             QString::number(h), "windowmove", "--sync", QString::fromStdString(m_program.window()),
                             QString::number(s.x), QString::number(s.y) });
            m_program.focus();
            run("xdotool", { "key", "ctrl+End" });
            return m_program.settle();
        }
        case Program::Zenity: {
            QString text;
            for (const std::string& line : s.lines)
                text += (text.isEmpty() ? "" : "\n") + QString::fromStdString(line).toHtmlEscaped();
            if (!m_program.start("env", { QString("GTK_THEME=Adwaita") + (s.dark ? ":dark" : ""), "zenity", "--info",
                                          "--no-wrap", "--title", "Aviso", "--ok-label", "Aceptar", "--text",
                                          QString("<span font_desc=\"%1 %2\">%3</span>")
                                              .arg(QString::fromStdString(s.font.family))
                                              .arg(s.pt)
                                              .arg(text) }))
                return false;
            run("xdotool", { "windowmove", "--sync", QString::fromStdString(m_program.window()), QString::number(s.x),
                             QString::number(s.y) });
            return m_program.settle();
        }
        case Program::Xmessage: {
            // xmessage reads its file as Latin-1, the core fonts' charset.
            const QString file = m_dir.filePath("aviso.txt");
            QString text;
            for (const std::string& line : s.lines)
                text += QString::fromStdString(line) + "\n";
            write(file, text.toLatin1().toStdString());
            const auto core = std::find_if(CORE_FONTS.begin(), CORE_FONTS.end(),
                                           [&](const CoreFont& f) { return s.font.family == f.family; });
            const QString xlfd = core != CORE_FONTS.end() && core->scalable
                ? QString("-*-%1-%2-r-normal--0-%3-96-96-*-0-iso8859-1").arg(core->family, core->weight).arg(s.pt * 10)
                : QString("fixed"); // the only size of the bitmap default
            QStringList args = { "-geometry", place, "-buttons", "Aceptar", "-fn", xlfd, "-file", file };
            args += s.dark ? QStringList { "-bg", "#202020", "-fg", "#e0e0e0" } : QStringList { "-bg", "#f4f4f4", "-fg", "black" };
            return m_program.start("xmessage", args, 30) && m_program.settle();
        }
        case Program::Qt: {
            m_dialog = std::make_unique<QDialog>();
            m_dialog->setWindowTitle("Preferencias");
            auto* layout = new QVBoxLayout(m_dialog.get());
            QFont font(QString::fromStdString(s.font.family));
            font.setPointSize(s.pt);
            for (const std::string& line : s.lines) {
                auto* label = new QLabel(QString::fromStdString(line));
                label->setFont(font);
                layout->addWidget(label);
            }
            layout->addWidget(new QPushButton("Aceptar"));
            if (s.dark)
                m_dialog->setStyleSheet("QDialog { background: #1e1e1e; } QLabel { color: #e6e6e6; }");
            m_dialog->move(s.x, s.y);
            m_dialog->show();
            return wait_until([&] { return m_dialog->windowHandle() && m_dialog->windowHandle()->isExposed(); }, 10000);
        }
        }
        return false;
    }

    // The window's frame on the root: its client area grown by the window
    // manager's frame extents.
    QRect frame() const
    {
        if (m_dialog)
            return m_dialog->frameGeometry();
        const Geometry g = m_program.geometry();
        int l = 0, r = 0, t = 0, b = 0;
        const std::string extents = run("xprop", { "-id", QString::fromStdString(m_program.window()), "_NET_FRAME_EXTENTS" });
        if (const auto eq = extents.find('='); eq != std::string::npos)
            std::sscanf(extents.c_str() + eq + 1, " %d, %d, %d, %d", &l, &r, &t, &b);
        return QRect(g.x - l, g.y - t, g.w + l + r, g.h + t + b);
    }

private:
    static void write(const QString& path, const std::string& bytes)
    {
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }

    Scene m_scene;
    QTemporaryDir m_dir;
    RealProgram m_program;
    std::unique_ptr<QDialog> m_dialog;
};

// The screen once `area` has stopped changing (a caret's blink aside):
// the window has drawn its text.
inline QImage settled_screen(const QRect& area)
{
    QImage last;
    QImage now;
    int still = 0;
    wait_until([&] {
        pump_for(120);
        now = screen_now();
        if (now.isNull())
            return false;
        const QImage part = now.copy(area);
        int differ = 0;
        if (!last.isNull())
            for (int y = 0; y < part.height(); ++y)
                for (int x = 0; x < part.width(); ++x)
                    differ += part.pixel(x, y) != last.pixel(x, y);
        still = !last.isNull() && differ < 60 ? still + 1 : 0;
        last = part;
        return still >= 2;
    }, 10000);
    return now;
}

// Where each of the scene's lines is on the screen: the engine's line boxes
// of the window (made grey, dark text on light, twice the size, so that it
// finds small text), matched to the lines in order, widened over ink the
// engine left out of its words (a last short word it dropped). None for a
// line it did not find.
inline std::vector<std::optional<QRect>> locate_lines(const QImage& screen, const QRect& frame, const Scene& scene,
                                                      const std::filesystem::path& scratch)
{
    QImage grey = screen.copy(frame).convertToFormat(QImage::Format_Grayscale8);
    if (scene.dark)
        grey.invertPixels();
    const QImage big = grey.scaled(grey.size() * 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QString png = QString::fromStdString((scratch / "lineas.png").string());
    std::vector<std::optional<QRect>> out(scene.lines.size());
    if (!big.save(png))
        return out;
    const auto tsv = tesseract_cli(png, nullptr, { "tsv" });
    if (!tsv)
        return out;
    struct Found {
        QString text;
        QRect box;
    };
    std::map<std::tuple<int, int, int>, Found> by_line;
    std::istringstream in(*tsv);
    std::string row;
    std::getline(in, row);
    while (std::getline(in, row)) {
        const QStringList f = QString::fromStdString(row).split('\t');
        if (f.size() < 12 || f[0] != "5" || f[11].trimmed().isEmpty())
            continue;
        Found& line = by_line[{ f[2].toInt(), f[3].toInt(), f[4].toInt() }];
        const QRect box(f[6].toInt() / 2, f[7].toInt() / 2, (f[8].toInt() + 1) / 2, (f[9].toInt() + 1) / 2);
        line.box = line.box.united(box.translated(frame.topLeft()));
        line.text += (line.text.isEmpty() ? "" : " ") + f[11].trimmed();
    }
    std::vector<Found> lines;
    for (auto& [_, line] : by_line)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end(), [](const Found& a, const Found& b) { return a.box.top() < b.box.top(); });
    std::size_t from = 0;
    for (std::size_t i = 0; i < scene.lines.size(); ++i) {
        const QString want = QString::fromStdString(scene.lines[i]);
        double best = 0.5;
        std::optional<std::size_t> at;
        for (std::size_t j = from; j < lines.size(); ++j)
            if (const double sim = similarity(want, lines[j].text); sim > best) {
                best = sim;
                at = j;
            }
        if (!at)
            continue;
        from = *at + 1;
        // Widen over ink in the line's rows, gaps under 1.5 line heights.
        QRect box = lines[*at].box;
        const QRect client = frame.adjusted(2, 2, -2, -2);
        const auto ink = [&](int x) {
            int lo = 255, hi = 0;
            for (int y = box.top(); y <= box.bottom(); ++y) {
                const int g = qGray(screen.pixel(x, y));
                lo = std::min(lo, g);
                hi = std::max(hi, g);
            }
            return hi - lo > 60;
        };
        const int gap = box.height() * 3 / 2;
        for (int x = box.right() + 1, blank = 0; x <= client.right() && blank <= gap; ++x)
            (ink(x) ? (box.setRight(x), blank = 0) : ++blank);
        for (int x = box.left() - 1, blank = 0; x >= client.left() && blank <= gap; --x)
            (ink(x) ? (box.setLeft(x), blank = 0) : ++blank);
        out[i] = box;
    }
    return out;
}

struct Totals {
    std::size_t scenes = 0, crops = 0, ours_lost = 0, plain_lost = 0, worse = 0, lines_missing = 0, doubled = 0,
                numbers_changed = 0, moves = 0, moves_unstable = 0, plain_moves_unstable = 0, moves_beyond_plain = 0,
                lines_unlocated = 0;
    std::array<double, 3> ours_ms {}, cli_ms {};
    std::array<std::size_t, 3> by_kind {};
    std::vector<std::string> failures; // "seed N label: what"
};

struct RunOptions {
    unsigned seed = 0;
    int scenes = 10;
    int selections = 6;            // base selections a scene (each with its move)
    std::filesystem::path keep;    // where failing crops are saved
    bool verbose = false;
};

// Runs the scenes seed, seed + 1, ... and judges every selection. Prints
// each failure with its scene's seed (VISTROPE_OCR_SEED=that seed with one
// scene replays it) and keeps its crop.
inline Totals run_corpus(const RunOptions& o)
{
    Totals t;
    const std::vector<Font> fonts = installed_fonts();
    std::filesystem::create_directories(o.keep);
    for (int n = 0; n < o.scenes; ++n) {
        const Scene scene = make_scene(o.seed + static_cast<unsigned>(n), fonts);
        const auto shown_at = std::chrono::steady_clock::now();
        SceneWindow window(scene);
        if (!window.show()) {
            t.failures.push_back(fmt::format("seed {}: the window never showed ({})", scene.seed, scene.describe()));
            continue;
        }
        const QRect frame = window.frame();
        const QImage screen = settled_screen(frame);
        if (screen.isNull())
            continue;
        ++t.scenes;
        const auto boxes = locate_lines(screen, frame, scene, o.keep);
        t.lines_unlocated += std::count(boxes.begin(), boxes.end(), std::nullopt);
        std::set<std::string> vocabulary;
        for (const std::string& line : scene.lines)
            for (const std::string& w : words_of(line))
                vocabulary.insert(w);
        std::mt19937 rng(scene.seed * 7919u + 1);
        const auto selections = make_selections(rng, boxes, frame, screen.rect(), o.selections);
        std::vector<Verdict> verdicts;
        std::vector<std::multiset<std::string>> plain_lost;
        std::printf("scene seed %u: %s, %zu lines, %zu selections, set up in %.0f ms\n", scene.seed,
                    scene.describe().c_str(), scene.lines.size(), selections.size(),
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - shown_at).count());
        for (const Selection& sel : selections) {
            const QImage crop = screen.copy(sel.rect);
            const auto t0 = std::chrono::steady_clock::now();
            const std::string ours = ::ocr::recognize_sync(crop).text;
            const double ours_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            const std::string name = fmt::format("{}-{}", scene.seed, sel.label);
            const QString png = QString::fromStdString((o.keep / (name + ".png")).string());
            double cli_ms = 0;
            const auto plain = crop.save(png) ? tesseract_cli(png, &cli_ms) : std::nullopt;
            if (!plain) {
                t.failures.push_back(fmt::format("seed {} {}: the command line did not read it", scene.seed, sel.label));
                verdicts.emplace_back();
                plain_lost.emplace_back();
                continue;
            }
            std::vector<std::string> inside;
            for (int i : sel.inside)
                inside.push_back(scene.lines[i]);
            std::vector<std::string> truth;
            for (const std::string& line : inside)
                for (const std::string& w : words_of(line))
                    truth.push_back(w);
            const Verdict v = judge(ours, *plain, inside, vocabulary);
            verdicts.push_back(v);
            plain_lost.push_back(lost_words(truth, *plain));
            const int kind = static_cast<int>(sel.kind);
            ++t.crops;
            ++t.by_kind[kind];
            t.ours_ms[kind] += ours_ms;
            t.cli_ms[kind] += cli_ms;
            t.ours_lost += v.ours_lost;
            t.plain_lost += v.plain_lost;
            t.worse += v.ours_lost > v.plain_lost;
            t.lines_missing += v.lines_missing.size();
            t.doubled += v.doubled.size();
            t.numbers_changed += v.numbers_changed.size();
            std::vector<std::string> what;
            if (v.ours_lost > v.plain_lost)
                what.push_back(fmt::format("loses {} words ({}), the plain reading {}", v.ours_lost,
                                           fmt::join(v.ours_lost_words, " "), v.plain_lost));
            for (const std::string& l : v.lines_missing)
                what.push_back("lacks the line \"" + l + "\"");
            for (const std::string& w : v.doubled)
                what.push_back("doubles \"" + w + "\"");
            for (const std::string& w : v.numbers_changed)
                what.push_back("changes the number \"" + w + "\"");
            if (sel.moved_from >= 0) {
                ++t.moves;
                const auto changed = words_changed(verdicts[sel.moved_from].ours_lost_words, v.ours_lost_words);
                const std::size_t plain_changed = words_changed(plain_lost[sel.moved_from], plain_lost.back()).size();
                t.plain_moves_unstable += plain_changed > 1;
                t.moves_beyond_plain += changed.size() > std::max<std::size_t>(1, plain_changed);
                if (changed.size() > 1) {
                    ++t.moves_unstable;
                    what.push_back(fmt::format("moved, {} words change ({})", changed.size(), fmt::join(changed, " ")));
                }
            }
            if (o.verbose || !what.empty()) {
                std::string joined;
                for (const std::string& w : what)
                    joined += (joined.empty() ? "" : "; ") + w;
                std::printf("%s seed %u %s (%d,%d %dx%d): %s [words lost: ours %zu, plain %zu]\n--- ours:\n%s\n--- plain:\n%s\n---\n",
                            what.empty() ? "ok" : "FAIL", scene.seed, sel.label.c_str(), sel.rect.x(), sel.rect.y(),
                            sel.rect.width(), sel.rect.height(), joined.c_str(), v.ours_lost, v.plain_lost, ours.c_str(),
                            plain->c_str());
            }
            if (what.empty())
                std::filesystem::remove(png.toStdString());
            else
                t.failures.push_back(fmt::format("seed {} {} ({}): {}", scene.seed, sel.label, scene.describe(), what.front()));
        }
    }
    return t;
}

inline void print_totals(const Totals& t)
{
    std::printf("%zu scenes, %zu crops (%zu lines not found on the screen)\n", t.scenes, t.crops, t.lines_unlocated);
    std::printf("words lost: ours %zu, plain %zu (ratio %.2f; goal <= 0.5)\n", t.ours_lost, t.plain_lost,
                t.plain_lost ? double(t.ours_lost) / t.plain_lost : 0.0);
    std::printf("crops where ours loses more: %zu of %zu (%.1f %%; goal <= 2 %%)\n", t.worse, t.crops,
                t.crops ? 100.0 * t.worse / t.crops : 0.0);
    std::printf("plain lines missing from ours: %zu; words doubled: %zu; numbers changed: %zu\n",
                t.lines_missing, t.doubled, t.numbers_changed);
    std::printf("1-3 px moves that change more than one word: ours %zu, plain %zu, of %zu; ours more than both one "
                "and the plain reading's change: %zu\n",
                t.moves_unstable, t.plain_moves_unstable, t.moves, t.moves_beyond_plain);
    for (int k = 0; k < 3; ++k)
        if (t.by_kind[k])
            std::printf("%s: %zu crops, ours %.0f ms, command line %.0f ms (ours/cli %.2f)\n",
                        KIND_NAMES[k], t.by_kind[k], t.ours_ms[k] / t.by_kind[k], t.cli_ms[k] / t.by_kind[k],
                        t.cli_ms[k] > 0 ? t.ours_ms[k] / t.cli_ms[k] : 0.0);
    std::printf("%zu failures\n", t.failures.size());
    for (const std::string& f : t.failures)
        std::printf("  %s\n", f.c_str());
}

} // namespace testing_support::ocr_cases
