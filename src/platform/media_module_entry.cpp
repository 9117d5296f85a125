// The media module's table: the one symbol the program looks up in it. The
// player's and the text module's are beside their code (video_player_mpv.cpp,
// text_recognizer_tesseract.cpp).
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
    };
    return &table;
}
