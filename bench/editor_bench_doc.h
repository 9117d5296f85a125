// The benchmarks' annotated document: 50 annotations about a tenth of the
// picture's width each, made through the editor's own gestures.
#pragma once

#include "../tests/pure/editor_fake_host.h"

#include <string>

namespace bench {

using editor::model::Point;
using editor::model::Tool;

// Fills the document through the editor's own gestures, as a user would.
inline void annotate(editor::Editing& e, editor_test::FakeHost& host, double w)
{
    const double u = w / 3840; // positions are laid out for 3840 pixels
    const auto view = [&](double x, double y) { return e.mapping().to_view({ x * u, y * u }); };
    const auto drag = [&](Tool tool, int colour, int size, std::initializer_list<Point> pts) {
        e.set_tool(tool);
        e.set_color(colour);
        e.set_size(size);
        auto it = pts.begin();
        e.mouse_down(false, 1, view(it->x, it->y));
        for (++it; it != pts.end(); ++it)
            e.mouse_dragged(false, view(it->x, it->y));
        e.mouse_up();
    };
    const double d = 384; // a tenth of the width
    for (int i = 0; i < 4; ++i)
        drag(Tool::Blur, 0, i % 3, { { 100 + 420.0 * i, 100 }, { 100 + 420.0 * i + d, 100 + d * 0.6 } });
    for (int i = 0; i < 4; ++i)
        drag(Tool::Pixelate, 0, i % 3, { { 100 + 420.0 * i, 400 }, { 100 + 420.0 * i + d, 400 + d * 0.6 } });
    drag(Tool::Spotlight, 0, 1, { { 2000, 100 }, { 2000 + d, 100 + d } });
    drag(Tool::Spotlight, 0, 1, { { 2500, 300 }, { 2500 + d, 300 + d } });
    for (int i = 0; i < 3; ++i)
        drag(Tool::Highlighter, 2 + i, 1, { { 100, 800.0 + 80 * i }, { 300, 810.0 + 80 * i }, { 484, 800.0 + 80 * i } });
    const Tool shapes[] = { Tool::Arrow, Tool::Rectangle, Tool::FilledRectangle, Tool::Ellipse, Tool::Line };
    for (int i = 0; i < 15; ++i)
        drag(shapes[i % 5], i % 8, i % 3, { { 600 + 150.0 * i, 1100 }, { 600 + 150.0 * i + d * 0.5, 1100 + d * 0.4 } });
    for (int i = 0; i < 6; ++i)
        drag(Tool::Pencil, i % 8, i % 3,
            { { 100 + 400.0 * i, 1600 }, { 200 + 400.0 * i, 1700 }, { 300 + 400.0 * i, 1620 }, { 484 + 400.0 * i, 1750 } });
    for (int i = 0; i < 6; ++i)
        drag(Tool::Counter, i % 8, i % 3, { { 300 + 100.0 * i, 2050 } });
    for (int i = 0; i < 10; ++i) {
        e.set_tool(Tool::Text);
        e.set_color(i % 8);
        e.set_size(i % 3);
        const auto at = view(2950 + 100.0 * (i % 2), 200 + 185.0 * i);
        e.mouse_down(false, 1, at);
        e.mouse_up();
        host.field_text = "Texto de prueba " + std::to_string(i);
        e.commit_text();
    }
    e.set_tool(Tool::Select);
}

} // namespace bench
