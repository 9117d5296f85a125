// editor: the annotation editor's windows.
#pragma once

#include <QImage>

namespace editor {

// Opens an editor window on an image (scale in pixels per point). Main thread.
void open(QImage image, double scale);

} // namespace editor
