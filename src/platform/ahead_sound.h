// platform: the mark of a recording's ahead sound track, which the writer
// sets and the export and the recorder's in-place join read. No library.
#pragma once

namespace platform {

// The handler name of a recording's ahead sound track (see SoundTrack in
// platform/ffmpeg/mp4_writer.h): beside another sound track it continues
// that track after its end and is never a track of its own.
inline constexpr const char* AHEAD_SOUND_HANDLER = "AheadSoundHandler";

} // namespace platform
