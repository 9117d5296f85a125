// recorder: a recording's file between its writer and the capture folder.
//
// While it is written the file is a hidden temporary beside its final name
// (output::create_temporary), in fragments, so whatever ends the recording
// leaves the fragments completed before it. Sealing turns the temporary into
// what is published: a regular MP4 with its index first (packets copied)
// where that can be written, else the fragments themselves, which play too.
// A temporary a killed run left behind is published at the next launch as
// "<name> (recuperada).mp4".
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <string>

namespace recorder {

enum class Ending {
    Finished, // the writer completed the file
    Broken,   // the writer failed or never reported: the file may end mid-fragment
};

// Makes the temporary ready to publish and returns the file to publish (the
// temporary itself or another beside it; the temporary is gone when it is
// another). A broken file is first cut after its last complete fragment. The
// error when nothing of it can be played: the temporary is removed then.
// Blocks; any thread but the main one.
std::expected<std::filesystem::path, std::string> seal(const std::filesystem::path& temporary, Ending ending);

// The stem a recording's temporary is published under after a crash or a
// failure: "<name> (recuperada)", "<name> (incompleta)".
std::string recovered_stem(const std::string& name);
std::string incomplete_stem(const std::string& name);

// Publishes every recording temporary a stopped run left in `dir` (last
// written before `launch`, so a recording this run began meanwhile is left
// alone) as "<name> (recuperada).mp4", removing (with a log line) those with
// nothing playable and the partial GIFs of our captures no conversion holds
// (a "*.gif.part" another program writes stays), and calls
// `recovered` with each published file. Call it
// once at launch, when this process is the only instance. Blocks; any thread.
void recover_recordings(const std::filesystem::path& dir, std::filesystem::file_time_type launch,
    const std::function<void(const std::filesystem::path&)>& recovered);

} // namespace recorder
