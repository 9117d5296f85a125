// The trim window's hooks for the --video-ui self-check: open a window
// without a card, set its range, begin trimming, and take pictures of it.
#include "record/video_editor.h"

#include "base/config.h"
#include "base/publish.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "capture/output.h"
#include "capture/capture.h"
#include "platform/video_player.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLayout>
#include <QCursor>
#include <QScreen>

#include <fmt/format.h>

#include <cstdio>

namespace video_editor {

namespace {

void print(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::shared_ptr<VideoEditor> newest()
{
    return editors().empty() ? nullptr : editors().back();
}

} // namespace



QWidget* debug_open(const std::filesystem::path& path)
{
    auto editor = build(path);
    if (!editor)
        return nullptr;
    QWidget* w = editor->window.get();
    centre(w);
    w->setAttribute(Qt::WA_ShowWithoutActivating);
    w->show();
    editors().push_back(std::move(editor));
    return w;
}

std::optional<Range> debug_set_range(double start, double end)
{
    auto editor = newest();
    if (!editor)
        return std::nullopt;
    editor->set_range(Range { start, end });
    return editor->range;
}

void debug_begin_trim()
{
    if (auto editor = newest())
        editor->begin_trim();
}

void window_shot(QWidget* window, const std::filesystem::path& path, std::function<void()> done)
{
    window->repaint();
    QCoreApplication::processEvents();
    const auto id = static_cast<std::uint32_t>(window->winId());
    capture::capture_window(id, false, [id, path, done = std::move(done)](std::optional<QImage> image) {
        const bool ok = image && image->save(QString::fromStdString(path.string()), "PNG");
        print(fmt::format("ventana {} → {} ({})", id, path.string(), ok ? "ok" : "falló"));
        if (done)
            done();
    });
}

void snapshot(QWidget* view, const std::filesystem::path& path)
{
    view->ensurePolished();
    if (auto* layout = view->layout())
        layout->activate();
    const QImage image = view->grab().toImage();
    if (image.isNull())
        return;
    if (auto written = publish::write_output(path, output::encode(image, 1.0)); !written)
        print(fmt::format("dibujo: {}", written.error()));
    print(fmt::format("dibujo: {} ({}×{} px)", path.string(), image.width(), image.height()));
}

} // namespace video_editor
