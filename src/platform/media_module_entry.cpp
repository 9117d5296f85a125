// The media module's table: the one symbol the program looks up in it.
#include "platform/media_module.h"

extern "C" const platform::MediaModule* vistrope_media_module()
{
    using namespace platform;
    static const MediaModule table {
        .version = VISTROPE_VERSION,
        .size = sizeof(MediaModule),
        .media = &ffmpeg::create_media,
        .capture_stream = &x11::create_capture_stream,
        .video_codecs = &ffmpeg::available_codecs,
        .player_view = &mpv::create_player_view,
        .recognizer = &tess::create_recognizer,
    };
    return &table;
}
