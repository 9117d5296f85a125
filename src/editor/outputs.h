// editor: how an annotated capture leaves the editor. Copy puts the PNG on
// the clipboard; save writes it as a new dated file in the capture folder;
// write_png writes it where a save panel said. Each flattens the document
// (editor::export_editor), encodes and writes in the background and reports
// on the main thread: the status line says whether the file was written, and
// a saved picture becomes the last shot.
//
// Entry points run on the main thread; the background jobs hold only weak
// references to the editor and touch none of its state.
#pragma once

#include "editor/editor.h"

#include <QImage>
#include <QSize>

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include <filesystem>
#include <memory>

class QDrag;
class QWidget;

namespace editor {

// Copies the flattened picture to the clipboard as PNG; nothing for an
// empty export.
void copy(const std::shared_ptr<Editor>& editor);

// Saves the flattened picture into the capture folder under the dated name,
// numbered when that is taken (two saves in one second make two files).
void save(const std::shared_ptr<Editor>& editor);

// Asks where to save through a save dialog, modal to the editor's window,
// starting in the capture folder with the dated name; an accepted name gets
// written by write_png (see save_as_path). Nothing without a window; a
// cancel, or an editor gone meanwhile, writes nothing.
void save_as(const std::shared_ptr<Editor>& editor);

// The file a save dialog's answer names: the name as typed, with ".png"
// added when it has no extension and put in place of any other ("foo.jpeg"
// is "foo.png"); when that replaced name is taken, the next free
// "foo (n).png", since the dialog asked about the typed name only.
std::filesystem::path save_as_path(const std::filesystem::path& chosen);

// The thumbnail a drag out shows, in points: the longer side 160 at most,
// never larger than the picture's actual size at `scale`, at least 1.
QSize drag_thumbnail_size(std::uint32_t width, std::uint32_t height, double scale);

// Writes the flattened picture as a new dated PNG in "Vistrope" inside a
// folder of this user's alone under the temporary folder; the path and the
// PNG bytes, or why not. Main thread.
struct DragFile {
    std::filesystem::path path;
    std::vector<std::uint8_t> png;
    QImage image;
};
std::expected<DragFile, std::string> drag_file(Editor& editor);

// Drags the flattened picture out of `source` as that file (and as PNG
// data), its thumbnail centred under the pointer.
// The file stays after the drag. Returns when the drag ends: the editor's
// work is all done before the drag's own event loop starts. Main thread.
void drag_out(const std::shared_ptr<Editor>& editor, QWidget* source);
// Everything drag_out does before the drag starts: the file, the data and
// the thumbnail; null (and a log line) when the file cannot be written.
// The drag belongs to `source`.
QDrag* prepare_drag(const std::shared_ptr<Editor>& editor, QWidget* source);

// Writes the flattened picture to `path` (replacing what stands there, as a
// save panel confirmed), through a temporary file and a rename.
void write_png(const std::shared_ptr<Editor>& editor, const std::filesystem::path& path);

// A read-only picture over an exported raster (no copy), in `space`.
QImage raster_image(std::shared_ptr<const output::Raster> raster, const QColorSpace& space);

} // namespace editor
