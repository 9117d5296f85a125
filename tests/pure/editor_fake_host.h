// A recording editor::Host for the editing tests: no window system, every
// call written down, text measured as 0.6 f per character and 1.2 f per line.
#pragma once

#include "editor/editing.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace editor_test {

using editor::model::Point;
using editor::model::Rect;
using editor::model::Size;

struct FakeHost final : editor::Host {
    bool window = true;
    Size stage { 1000, 800 };

    std::vector<Rect> invalidated;
    int invalidated_all = 0;
    std::vector<editor::Controls> controls;
    std::vector<editor::Layout> layouts;
    int focused_overlay = 0;
    std::vector<editor::Cursor> cursors;

    bool field_open = false;
    std::string field_text;
    editor::model::Color field_color;
    std::vector<editor::TextFieldFrame> field_frames;
    int fields_opened = 0;

    std::vector<std::vector<std::uint64_t>> purges;
    std::vector<std::uint64_t> scheduled;

    // Runs inside invalidate(): lets a test call back into the editor.
    std::function<void()> on_invalidate;

    bool has_window() const override { return window; }
    void invalidate(const Rect& r) override
    {
        invalidated.push_back(r);
        if (on_invalidate)
            on_invalidate();
    }
    void invalidate_all() override { ++invalidated_all; }
    void show_controls(const editor::Controls& c) override { controls.push_back(c); }
    Size stage_size() const override { return stage; }
    void apply_layout(const editor::Layout& l) override { layouts.push_back(l); }
    void focus_overlay() override { ++focused_overlay; }
    void set_cursor(editor::Cursor c) override { cursors.push_back(c); }

    void open_text_field(std::string_view text, const editor::model::Color& color, const editor::TextFieldFrame& frame) override
    {
        field_open = true;
        ++fields_opened;
        field_text = text;
        field_color = color;
        field_frames.push_back(frame);
    }
    void place_text_field(const editor::TextFieldFrame& frame) override { field_frames.push_back(frame); }
    void recolor_text_field(const editor::model::Color& color) override { field_color = color; }
    std::string text_field_text() const override { return field_text; }
    void close_text_field() override
    {
        field_open = false;
        field_text.clear();
    }

    Size measure_text(std::string_view text, int size, double scale, double /*max_width*/) override
    {
        const double f = scale * editor::model::TEXT_SIZES[size];
        std::size_t longest = 0, line = 0, lines = 1;
        for (std::size_t at = 0; at < text.size();) {
            if (editor::next_code_point(text, at) == U'\n') {
                ++lines;
                line = 0;
            } else {
                longest = std::max(longest, ++line);
            }
        }
        return { 0.6 * f * double(longest), 1.2 * f * double(lines) };
    }
    void purge_effects(std::span<const std::uint64_t> live) override { purges.emplace_back(live.begin(), live.end()); }
    void schedule_status_expiry(std::uint64_t generation) override { scheduled.push_back(generation); }

    const editor::Controls& last_controls() const { return controls.back(); }
};

} // namespace editor_test
