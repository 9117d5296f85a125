// video_editor: the trim-and-export window for recordings.
#pragma once

#include <filesystem>

namespace video_editor {

// Opens the trim-and-export window on a video file, key and in front.
// Nothing happens when the window cannot be built. Main thread.
void open(const std::filesystem::path& path);

} // namespace video_editor
