// editor: the annotation editor's windows. open() is what every caller uses;
// build() makes the editing state and its window without showing it.
#pragma once

#include <QImage>

#include <memory>
#include <vector>

namespace editor {

class VistropeEditorController;

// What the editor module keeps.
struct State {
    // The controllers of the open editor windows, each keeping its editor
    // alive while its window is open. A window's entry goes on the turn after
    // it closes.
    std::vector<std::unique_ptr<VistropeEditorController>> editors;
};
// The editor module's state. Main thread only: any other thread stops the
// program.
State& state();

// Opens an editor window on an image (scale in pixels per point), centred on
// the primary screen, in front and with the keyboard focus. Main thread.
void open(QImage image, double scale);

// Closes every editor window at once (quitting, and between tests). Main thread.
void close_all();

// The editing state and its window, sized for the primary screen, laid out
// and not yet shown. Main thread.
std::unique_ptr<VistropeEditorController> build(QImage image, double scale);

} // namespace editor
