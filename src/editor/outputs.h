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

#include <filesystem>
#include <memory>

namespace editor {

// Copies the flattened picture to the clipboard as PNG; nothing for an
// empty export.
void copy(const std::shared_ptr<Editor>& editor);

// Saves the flattened picture into the capture folder under the dated name,
// numbered when that is taken (two saves in one second make two files).
void save(const std::shared_ptr<Editor>& editor);

// Writes the flattened picture to `path` (replacing what stands there, as a
// save panel confirmed), through a temporary file and a rename.
void write_png(const std::shared_ptr<Editor>& editor, const std::filesystem::path& path);

// A read-only picture over an exported raster (no copy), in `space`.
QImage raster_image(std::shared_ptr<const output::Raster> raster, const QColorSpace& space);

} // namespace editor
