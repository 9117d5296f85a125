// publish: naming, reserving and publishing the files the program writes for
// the user (captures, recordings, exports, converted GIFs).
//
// A name is chosen once ("Vistrope <date> a las <time>", then " (2)", " (3)"
// ...), held for this process until the file is published, and a file
// appears under it whole or not at all: bytes go to a hidden temporary
// beside it, which is then renamed without replacing anything.
#pragma once

#include <cstdint>
#include <ctime>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace publish {

// The capture file name (without extension) for a local time:
// "Vistrope 2026-03-07 a las 09.05.02". The year has at least four digits.
std::string capture_name(const std::tm& local);
// The name for now, in local time.
std::string capture_name_now();

// The first free path in `dir` among "stem.ext", "stem (2).ext", "stem (3).ext"
// ... A name is taken when anything stands under it, a dangling symbolic link
// included, or when this process has chosen it for a file not published yet
// (see reserve_path), and so is one for which `also_taken` says so. Creates
// `dir` (with its parents) first; failures to create it are ignored. Any thread.
std::filesystem::path unique_path(const std::filesystem::path& dir, std::string_view stem, std::string_view ext,
    const std::function<bool(const std::filesystem::path&)>& also_taken = {});

// A name chosen as unique_path chooses it and held for this process until
// publish() or release(): a second delivery of the same second gets the next
// number, in delivery order, though nothing stands on disk under either name
// yet. An error when the folder cannot be made. Any thread.
struct Reserved {
    std::filesystem::path path;
    std::optional<std::string> error; // why nothing can be written there
    std::string stem;                 // what the name was made of
    std::string ext;
};
Reserved reserve_path(const std::filesystem::path& dir, std::string_view stem, std::string_view ext);
// Gives a reserved name back unused. Any thread.
void release(const Reserved& reserved);

// Writes the bytes to a hidden temporary beside the reserved name and then
// publishes it under that name, never replacing a file: when another program
// took the name meanwhile, the next free number is used. The path published,
// or the error (then nothing is left behind, hidden or not). Releases the
// reservation either way. Any thread.
std::expected<std::filesystem::path, std::string> publish(const Reserved& reserved, std::span<const std::uint8_t> bytes);

// Creates a new, empty hidden temporary beside `path` (".<name>.<random>",
// as publish() writes), for a writer that fills it over time; its path, or
// the error. Any thread.
std::expected<std::filesystem::path, std::string> create_temporary(const std::filesystem::path& path);
// Publishes a finished temporary (in the reserved name's folder) under the
// reserved name as publish() does: never replacing a file, the next free
// number on a clash. On failure the temporary stays where it is. Releases
// the reservation either way. Any thread.
std::expected<std::filesystem::path, std::string> publish_file(const Reserved& reserved,
    const std::filesystem::path& temporary);

// Writes every byte to `fd`, again after an interruption or a short write;
// 0, or the errno of the write that failed (EIO for one that wrote nothing).
// Any thread.
int write_every_byte(int fd, std::span<const std::uint8_t> bytes);

// Whether a file name is exactly one of publish()'s hidden temporaries of a
// capture's name (".Vistrope <date> a las <time>[ (n)].png|.mp4.<6 letters
// or digits>"); a name that only looks alike is someone else's.
bool is_temporary_name(std::string_view name);
// The name a hidden temporary stands for ("<name>" of ".<name>.<random>"),
// or none when `name` is not one.
std::optional<std::string> temporary_target(std::string_view name);
// Removes from `dir` the temporaries a crashed run left, once older than a
// day (a younger one may be another instance's, still being written); a
// recording's are left to its recovery. Any thread.
void remove_stale_temporaries(const std::filesystem::path& dir);

} // namespace publish

namespace publish {

// --- Outputs named on the command line ----------------------------------------
//
// A task given a path to write (a converted GIF, a rendered picture, a
// self-check's folder and what goes into it) writes it the way
// output_target decides, and only that way:
// - a new name or a plain file: a whole new file replaces it at once (a
//   hidden temporary beside it, then a rename), as today;
// - a FIFO or a character device (a pipe, /dev/null): the bytes are written
//   into it, never a file put in its place;
// - a name of one of our open descriptors (/dev/stdout, /dev/stderr,
//   /dev/fd/N, /proc/self/fd/N, a shell's >(...)): the bytes are written
//   into that descriptor, at its own position (appending when opened so),
//   whatever it is open on;
// - a symbolic link: followed to the file it ends at, which is then treated
//   as above; a link that ends nowhere (missing, or a loop) is refused;
// - a folder, a socket or a block device: refused.
// Errors are Spanish and name the path.

enum class OutputKind {
    File,   // the path is the file to write
    Folder, // the path is a folder to write files into; made when missing
};

enum class OutputWay {
    Publish, // a whole new file under the name
    Into,    // written into what stands there
};

struct OutputTarget {
    std::filesystem::path path; // the named path, or the file its links end at
    OutputWay way = OutputWay::Publish;
    bool replaces = false;      // Publish over an existing file
    int descriptor = -1;        // Into: the open descriptor the path names
};

// How `path` is written; refused with the reason otherwise. Any thread.
std::expected<OutputTarget, std::string> output_target(const std::filesystem::path& path,
    OutputKind kind = OutputKind::File);

// Writes `bytes` to a File output the way output_target decides. Any thread.
std::expected<OutputTarget, std::string> write_output(const std::filesystem::path& path,
    std::span<const std::uint8_t> bytes);

// The same for a writer that makes a whole file itself: `make` writes it at
// the path it is given (a fresh hidden name beside the output, or in a
// private folder when the output is a pipe or device), which is then
// published or copied into the output. What `make` fails with is returned;
// nothing it left is kept. Any thread.
using MakeFile = std::function<std::expected<void, std::string>(const std::filesystem::path& file)>;
std::expected<OutputTarget, std::string> write_output_with(const std::filesystem::path& path, const MakeFile& make);

} // namespace publish
