// editor: the editing state of one editor window and every operation on it.
//
// Editing owns the document, its history, the selection, the pointer gesture,
// the crop being edited, the text being typed, the current tool, colour and
// size, the status text and the view mapping. It never touches a window: it
// reaches the window and the renderer only through editor::Host, which the
// Qt side implements and tests record. Everything runs on the main thread.
//
// Units: view points are the overlay view's own coordinates (top-left origin,
// y downwards); image pixels as in editor/model.h.
#pragma once

#include "editor/layout.h"
#include "editor/model.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace editor {

// What the toolbar shows; the host sets its controls to exactly this.
struct Controls {
    int tool = 1;        // selected segment of the tool control, 0 to 13
    int color = 0;       // selected segment of the colour control, 0 to 7
    int size = 1;        // selected segment of the size control, 0 to 2
    bool undo_enabled = false;
    bool redo_enabled = false;
    bool background = false; // the "Fondo" button is on
    std::string status;      // the status text, or the output size "W × H px"
    bool operator==(const Controls&) const = default;
};

enum class Cursor { Arrow, IBeam, Crosshair };
Cursor cursor_for(model::Tool tool);

// The open text field's look and place, in overlay view points.
struct TextFieldFrame {
    double font_size = 0; // bold system font, points on screen
    model::Rect frame;
    bool operator==(const TextFieldFrame&) const = default;
};

// The window and renderer side of an editor. Every call comes from an
// Editing operation on the main thread; an implementation must not call back
// into that Editing (queue the work instead): doing so stops the process.
class Host {
public:
    virtual ~Host() = default;

    // Whether the window exists. Without it, Editing skips every redraw,
    // control update, layout, focus change and text field.
    virtual bool has_window() const = 0;
    // Marks a rectangle of the overlay view (view points) for redrawing.
    virtual void invalidate(const model::Rect& view_rect) = 0;
    virtual void invalidate_all() = 0;
    virtual void show_controls(const Controls& controls) = 0;
    // The stage view's size in points.
    virtual model::Size stage_size() const = 0;
    // Places clip and image views from the layout and redraws stage and overlay.
    virtual void apply_layout(const Layout& layout) = 0;
    // Gives the keyboard focus to the overlay view.
    virtual void focus_overlay() = 0;
    virtual void set_cursor(Cursor cursor) = 0;

    // The text field: at most one exists. open_text_field makes it with the
    // text and colour, places it, adds it over the overlay and focuses it;
    // close_text_field gives the focus back to the overlay and removes it.
    virtual void open_text_field(std::string_view text, const model::Color& color, const TextFieldFrame& frame) = 0;
    virtual void place_text_field(const TextFieldFrame& frame) = 0;
    virtual void recolor_text_field(const model::Color& color) = 0;
    virtual std::string text_field_text() const = 0;
    virtual void close_text_field() = 0;

    // The box a text needs in image pixels: bold font of TEXT_SIZES[size] ×
    // scale, lines wrapped at max_width (none when 0), padding included.
    virtual model::Size measure_text(std::string_view text, int size, double scale, double max_width) = 0;
    // Drops the cached effect images and finished pictures of every
    // annotation not in live_ids.
    virtual void purge_effects(std::span<const std::uint64_t> live_ids) = 0;
    // After Editing::STATUS_SECONDS, on the main queue:
    // Editing::expire_status(generation), only while this editor still exists.
    virtual void schedule_status_expiry(std::uint64_t generation) = 0;
};

// The gesture in progress between a press and its release.
namespace drag {
struct Idle {};
struct Create {
    model::Point start;
    std::uint64_t id = 0;
    std::optional<model::Doc> dropped; // the oldest history entry its checkpoint let go
    std::size_t history = 0;           // undo entries right after its checkpoint
};
struct Move {
    std::optional<model::Doc> before; // pushed on the undo stack at the first drag event
    std::uint64_t id = 0;
    model::Point anchor;
};
struct Resize {
    std::optional<model::Doc> before;
    std::uint64_t id = 0;
    int handle = 0;
};
struct CropNew {
    model::Point anchor;
};
struct CropMove {
    model::Point anchor;
};
struct CropResize {
    int handle = 0; // 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left
};
} // namespace drag
using Drag = std::variant<drag::Idle, drag::Create, drag::Move, drag::Resize, drag::CropNew, drag::CropMove, drag::CropResize>;

// The text being typed.
struct TextEdit {
    bool existing = false;
    std::uint64_t id = 0; // when existing
    model::Point origin;
    int color = 0;
    double wrap_width = 0;
    int size = 1;
};

// A key press as the overlay sees it. `characters` ignore the modifiers
// (UTF-8); Shift, Control, Option (Alt) and Command (Ctrl) are flags.
enum class Key { Return, Enter, Delete, ForwardDelete, Escape, Left, Right, Down, Up, Other };
enum Modifier : unsigned { SHIFT = 1, CONTROL = 2, OPTION = 4, COMMAND = 8 };
struct KeyEvent {
    Key key = Key::Other;
    std::string characters;
    unsigned modifiers = 0;
};

// What a Ctrl shortcut asks of the window. The Field* actions go to the text
// field's own editing (select all, copy, paste, cut, undo, redo).
enum class KeyAction {
    None,
    Copy,
    Save,
    SaveAs,
    Close,
    Undo,
    Redo,
    FieldSelectAll,
    FieldCopy,
    FieldPaste,
    FieldCut,
    FieldUndo,
    FieldRedo,
};

class Editing final {
public:
    static constexpr std::size_t UNDO_LIMIT = 200;
    static constexpr double STATUS_SECONDS = 2.5;

    // An image of width × height pixels at `scale` pixels per point (below
    // 0.5 or not a number it is taken as 0.5).
    Editing(Host& host, int width, int height, double scale);
    Editing(const Editing&) = delete;
    Editing& operator=(const Editing&) = delete;

    // The overlay's pointer events at view points: a press (Shift, click
    // count), each drag event, the release. A press while a text is typed
    // only commits it.
    void mouse_down(bool shift, int clicks, model::Point view);
    void mouse_dragged(bool shift, model::Point view);
    void mouse_up();

    // A key press in the overlay; false: not handled, the window passes it on.
    bool key_down(const KeyEvent& event);
    // What a Ctrl shortcut asks of the window; None: not handled. Changes
    // nothing: the window runs the action (Undo and Redo through undo() and
    // redo(); Copy shows its status through set_status()).
    KeyAction key_equivalent(const KeyEvent& event) const;

    // The toolbar's choices, shared with the keys. A colour or size chosen
    // with a selection also changes the selected annotation, as one undo step.
    void set_tool(model::Tool tool);
    void set_color(int index); // above 7 becomes 7
    void set_size(int index);  // clamped into 0 to 2

    // Puts an annotation on top with the next id, outside the history: a
    // document a script builds. The caller redraws and syncs the controls.
    std::uint64_t append(model::Geom geom, model::Tool kind, int color, int size);

    // History: every change is preceded by a copy of the whole document.
    // checkpoint() keeps at most UNDO_LIMIT entries; push_undo() (pre-drag
    // documents) does not check the limit. Both clear the redo stack.
    void checkpoint();
    void push_undo(model::Doc doc);
    void undo();
    void redo();
    void delete_selected();
    void apply_crop();
    void set_background(bool on);

    // Text: opens the field for a new text or an existing one (image pixels).
    // Return and every press commit it, Escape cancels it; the window calls
    // fit_text_field() whenever the field's text changes.
    void begin_text(bool existing, std::uint64_t id, model::Point origin);
    void commit_text();
    void cancel_text();
    void fit_text_field();

    // Status text, shown for STATUS_SECONDS unless a newer one replaces it;
    // the host's timer calls expire_status() with the generation it was given.
    void set_status(std::string text);
    void expire_status(std::uint64_t generation);

    // Lays the stage out for the current document and tool; the window calls
    // it once built and whenever the stage changes size.
    void relayout();
    // Brings the toolbar in line with the state.
    void sync_controls();
    // Redraws an image-pixel rectangle (13 points of slack on every side).
    void invalidate_px(const model::Rect& image_rect);
    // Redraws what an annotation's change touched: its earlier and current
    // bounds; the whole overlay for a spotlight.
    void invalidate_change(std::uint64_t id, std::optional<model::Rect> earlier);
    std::optional<model::Rect> bounds_of(std::uint64_t id) const;

    // State, for the renderer, the window and tests.
    const model::Doc& doc() const { return m_doc; }
    std::optional<std::uint64_t> selection() const { return m_selection; }
    const std::optional<model::Rect>& crop_edit() const { return m_crop_edit; }
    // What applying the crop being edited would give: its edges rounded and
    // clamped to the image (the hint shows this size).
    std::optional<model::Rect> crop_result() const;
    const std::optional<TextEdit>& text_edit() const { return m_text; }
    // The annotation hidden from drawing while its text is typed.
    std::optional<std::uint64_t> editing_text_id() const;
    const Drag& gesture() const { return m_drag; }
    const std::deque<model::Doc>& undo_stack() const { return m_undo; }
    const std::deque<model::Doc>& redo_stack() const { return m_redo; }
    const std::optional<std::pair<std::string, std::uint64_t>>& status() const { return m_status; }
    model::Tool tool() const { return m_tool; }
    int color() const { return m_color; }
    int size() const { return m_size; }
    std::uint64_t next_id() const { return m_next_id; }
    const ViewMapping& mapping() const { return m_mapping; }
    model::Size image_size() const { return { double(m_width), double(m_height) }; }
    double scale() const { return m_scale; }
    Controls controls() const;

private:
    // Host calls are fenced: an operation entered while one is running in the
    // host is a re-entry that would see half-done state.
    class HostCall {
    public:
        explicit HostCall(Editing& e) : m_e(e) { ++m_e.m_in_host; }
        ~HostCall() { --m_e.m_in_host; }
        Host* operator->() const { return &m_e.m_host; }

    private:
        Editing& m_e;
    };
    HostCall host() { return HostCall(*this); }
    HostCall host() const { return HostCall(const_cast<Editing&>(*this)); }
    void enter(std::string_view operation) const;

    // Pushes a copy of the document and clears the redo stack; returns the
    // oldest entry when the limit dropped it (a discarded click puts it back).
    std::optional<model::Doc> take_checkpoint();
    void swap_history(std::deque<model::Doc>& from, std::deque<model::Doc>& to);
    // Puts a new annotation on top with the next id; returns that id.
    std::uint64_t add_annotation(model::Geom geom, model::Tool kind, int color, int size);
    void select(std::optional<std::uint64_t> id);
    void redraw(std::uint64_t id) { invalidate_change(id, std::nullopt); }
    void redraw_all();
    void nudge(double dx, double dy);
    void focus_overlay_unless_typing();
    TextFieldFrame text_field_frame(std::string_view text);

    void press_crop(int clicks, model::Point view, model::Point p);
    void drag_create(drag::Create& g, bool shift, model::Point p);
    void drag_resize(drag::Resize& g, bool shift, model::Point p);
    void release(Drag gesture);

    Host& m_host;
    mutable int m_in_host = 0;
    int m_width;
    int m_height;
    double m_scale;

    model::Doc m_doc;
    std::optional<std::uint64_t> m_selection;
    std::optional<model::Rect> m_crop_edit;
    std::optional<TextEdit> m_text;
    Drag m_drag;
    std::deque<model::Doc> m_undo;
    std::deque<model::Doc> m_redo;
    std::optional<std::pair<std::string, std::uint64_t>> m_status;
    model::Tool m_tool = model::Tool::Arrow;
    int m_color = 0;
    int m_size = 1;
    std::uint64_t m_next_id = 1;
    ViewMapping m_mapping;
};

// Where an open text field goes: its font size and frame in view points, for
// a text whose natural width is `natural_width` and whose height wrapped at
// `wrap_width` is `wrapped_height` (image pixels).
TextFieldFrame text_field_frame(const ViewMapping& mapping, int size, double scale, double wrap_width,
    model::Point origin, double natural_width, double wrapped_height);

// Decodes the UTF-8 code point at `at` and moves `at` past it; a malformed
// byte gives U+FFFD and moves one byte. `at` must lie inside the text.
char32_t next_code_point(std::string_view text, std::size_t& at);

// The text without trailing Unicode white space (UTF-8 in and out).
std::string trim_trailing_space(std::string_view text);

} // namespace editor
