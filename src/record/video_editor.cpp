#include "record/video_editor.h"

#include "base/util.h"

namespace video_editor {

// FIXME: the trim-and-export window; until it lands opening it is a log line.
void open(const std::filesystem::path& path)
{
    util::log("editor de video: abriría " + path.string());
}

} // namespace video_editor
