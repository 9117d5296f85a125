// files: reading and replacing the small files the program keeps for the user
// (the settings file, the desktop registration).
//
// Plain POSIX underneath: no stream exceptions, no blocking on a FIFO, and a
// replacement that is either the old file or the complete new one.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace files {

struct ReadError {
    enum class Kind { Missing, NotRegular, TooLarge, Failed };
    Kind kind;
    // Spanish, ready for a log line: "es una carpeta", "ocupa más de … bytes", strerror's text.
    std::string message;
};

// The whole content of a regular file of at most `max_bytes`, following
// symbolic links. A folder, FIFO, socket or device is refused without being
// read (opening never waits for a writer); so is a larger file.
std::expected<std::string, ReadError> read_regular(const std::filesystem::path& path, std::uint64_t max_bytes);

// The file a chain of symbolic links ends at (the path itself when it is no
// link). A link into a missing file gives that missing file. Stops after 40 hops.
std::filesystem::path resolve_links(const std::filesystem::path& path);

// The file creation mask the process started with, read once: at the top of
// main (remember_creation_mask), else on first use. The process's own mask
// may change for a moment on any thread (a library that makes a private
// folder sets 077 and back), so files made for the user take their mode
// from this, never from whatever the mask is when they are created.
void remember_creation_mask();
// 0666 less that mask: the permission bits of a new file of the user's.
unsigned new_file_mode();
// Gives a file just created through `fd` those bits; the error number or 0.
int give_new_file_mode(int fd);

// Replaces the file at `path` with `text`: writes "<name>.tmp<pid>" beside the
// file the links end at, syncs it to disk, then renames it over that file. An
// existing file keeps its permission bits; a new one gets new_file_mode().
// On any failure the temporary is removed and the old file stays as it was;
// the error reads "<path>: <reason>", naming the file the user knows, never
// the temporary.
std::expected<void, std::string> replace(const std::filesystem::path& path, std::string_view text);

// A new folder of our own (mode 0700, made with mkdtemp) in the system's
// temporary folder, named "<prefix>-XXXXXX"; the error reads
// "no pude crear una carpeta temporal: <reason>".
std::expected<std::filesystem::path, std::string> make_private_folder(std::string_view prefix);

// Makes `folder` (and its parents) when missing and proves a file can be
// written in it, leaving nothing behind. The error reads "no puedo escribir
// en <folder>: <reason>".
std::expected<void, std::string> check_writable_folder(const std::filesystem::path& folder);

// replace(), unless the file already holds exactly `text`: what is written
// at every launch is neither synced nor renamed when it has not changed.
std::expected<void, std::string> update(const std::filesystem::path& path, std::string_view text);

} // namespace files
