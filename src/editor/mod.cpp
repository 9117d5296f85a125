#include "editor/mod.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "capture/output.h"
#include "editor/layout.h"
#include "editor/views.h"
#include "editor/window.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace editor {

State& state()
{
    util::require_main_thread("hilo principal");
    // Never destroyed: its windows end while the application exists (close_all).
    static auto* s = new State();
    return *s;
}

std::unique_ptr<VistropeEditorController> build(QImage image, double scale)
{
    util::require_main_thread("hilo principal");
    auto editor = Editor::create(std::move(image), scale);
    auto controller = std::make_unique<VistropeEditorController>(editor);
    std::optional<model::Size> visible;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        visible = model::Size { double(available.width()), double(available.height()) };
    }
    auto* window = new EditorWindow(editor, *controller);
    const double min_width = window_min_width(window->toolbar().min_width);
    const model::Size size = window_content_size({ double(editor->base().width()), double(editor->base().height()) },
        editor->base().scale(), window->toolbar().min_width, visible);
    window->setMinimumSize(int(std::ceil(min_width)), 420);
    window->resize(int(std::lround(size.w)), int(std::lround(size.h)));
    controller->set_window(window);
    editor->attach_window(window);
    editor->editing().sync_controls();
    relayout(*editor);
    return controller;
}

void open(QImage image, double scale)
{
    util::require_main_thread("hilo principal");
    const util::Stopwatch watch("editor");
    auto controller = build(image, scale);
    const std::shared_ptr<Editor>& editor = controller->editor();

    // The exports need the picture's pixels, and the blur drawn on screen
    // its preview; they are made while the user looks, and kept only when
    // nothing made them first.
    util::in_background([weak = std::weak_ptr<Editor>(editor), image = std::move(image)] {
        auto raster = std::make_shared<output::Raster>(output::rasterize(image));
        auto preview = std::make_shared<imageops::Image>(render::preview_of(*raster));
        util::on_main([weak, raster, preview] {
            const auto e = weak.lock();
            if (e && !e->base().has_raster())
                e->base().set_raster(std::move(*raster), std::move(*preview));
        });
    });

    if (EditorWindow* window = controller->window()) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const auto rect = [](const QRect& r) { return model::Rect { double(r.x()), double(r.y()), double(r.width()), double(r.height()) }; };
            std::vector<model::Rect> cards;
            if (output::cards().frames)
                for (const QRect& card : output::cards().frames())
                    cards.push_back(rect(card));
            const model::Rect frame = window_frame(rect(screen->availableGeometry()),
                { double(window->width()), double(window->height()) }, window->minimumWidth(), cards);
            window->setGeometry(int(std::lround(frame.x)), int(std::lround(frame.y)), int(std::lround(frame.w)),
                int(std::lround(frame.h)));
        }
        window->show();
        window->raise();
        window->activateWindow();
        window->focus_overlay();
    }
    state().editors.push_back(std::move(controller));
    watch.lap("ventana del editor visible");
}

void close_all()
{
    // Moved out first: a window's closing erases its own entry from the list.
    auto closing = std::move(state().editors);
    state().editors.clear();
    closing.clear();
}

} // namespace editor
