// recorder: a recording's file between its writer and the capture folder.
//
// While it is written the file is a hidden temporary beside its final name
// (publish::create_temporary), in fragments, so whatever ends the recording
// leaves the fragments completed before it. Sealing turns the temporary into
// what is published: a regular MP4 with its index first (packets copied)
// where that can be written, else the fragments themselves, which play too
// (their sound tracks made one in place, join_sound_in_place).
// A temporary a killed run left behind is published at the next launch as
// "<name> (recuperada).mp4" (record/recovery.h says which ones are taken).
#pragma once

#include "record/recovery.h"

#include <expected>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>

namespace recorder {

enum class Ending {
    Finished, // the writer completed the file
    Broken,   // the writer failed or never reported: the file may end mid-fragment
};

// The file to publish and, when it is not the temporary itself, its hold
// (the temporary is gone then).
struct Sealed {
    std::filesystem::path path;
    std::shared_ptr<LiveFile> live;
    // The file's length in seconds as a player reads it; NaN when unknown.
    double duration = std::numeric_limits<double>::quiet_NaN();
};

// Why sealing gave nothing to publish, and where the temporary went when
// nothing of it played (empty: it stays where it was, for a later try).
struct SealFailure {
    std::string reason;
    std::filesystem::path set_aside;
};

// Makes this process's own temporary (the caller holds it) ready to publish.
// A broken file is first cut after its last complete fragment. The result is
// checked to play (a frame decodes); the error when nothing of it plays: the
// temporary is moved aside into the state folder then. Blocks; any thread but
// the main one.
std::expected<Sealed, SealFailure> seal(const std::filesystem::path& temporary, Ending ending);

// What the user is told of a recording moved aside as unplayable, naming
// the folder it went to ("~/…" under the home folder): `interrupted` for
// one a stopped run left.
std::string set_aside_text(const std::filesystem::path& moved, bool interrupted);

// The stem a recording's temporary is published under after a failure:
// "<name> (incompleta)".
std::string incomplete_stem(const std::string& name);
// Whether a file name is one incomplete_stem made ("… (incompleta).mp4").
bool is_incomplete_name(std::string_view file_name);

// Nothing when at least one frame of the file decodes (through the media
// module); else why not. Blocks; any thread.
std::expected<void, std::string> check_plays(const std::filesystem::path& file);

// Publishes every recording temporary a stopped run left, in `dir` or named
// by the journal of live recordings, as "<name> (recuperada).mp4" beside it.
// Only what recovery may take is touched (record/recovery.h); one last
// written between `launch` and now is left alone too (a recording this run
// began meanwhile), while one dated ahead of the clock is taken as any. What has nothing playable is moved aside into the state
// folder, with a log line, and `put_aside` is called with where it went.
// Two temporaries of one name are one recording (its fragments and the
// finished copy a stopped seal was making): one file is published, the copy
// when it plays, else the fragments. Partial GIFs of our captures no conversion holds
// are removed (a "*.gif.part" another program writes stays). Calls
// `recovered` with each published file. Call it once at launch. Blocks; any
// thread.
void recover_recordings(const std::filesystem::path& dir, std::filesystem::file_time_type launch,
    const std::function<void(const std::filesystem::path&)>& recovered,
    const std::function<void(const std::filesystem::path&)>& put_aside = {});

} // namespace recorder
