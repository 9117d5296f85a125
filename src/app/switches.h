// switches: the command-line switch search of the process entry.
//
// Every switch is looked for over the whole argument list, in the table's
// order; the first occurrence counts and its value is the argument right
// after it, taken literally (even when it is itself a switch).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace switches {

enum class Task {
    Ocr,            // --ocr [image]                 -> exit with its status
    Gif,            // --gif args...                 -> exit with its status
    GifBench,       // --gif-bench args...           -> exit with its status
    DebugRecorder,  // --debug-recorder [folder]     -> exit with its status
    RecordTest,     // --record-test [folder]        -> go on
    ScrollTest,     // --scroll-test [folder]        -> go on
    EditorRender,   // --editor-render [a] [b]       -> return without starting
    PrefsRender,    // --prefs-render [folder]       -> exit with its status
    VideoUi,        // --video-ui [video] [folder]   -> go on
    Selftest,       // --selftest [folder]           -> go on to the normal start
};

// What the task does once it has run.
enum class Then {
    Exit,     // the process exits with the task's status
    GoOn,     // the search goes on with the next switch
    Return,   // main returns without starting the application
};

struct Found {
    Task task;
    std::vector<std::string> args; // what the task is handed
    std::optional<std::string> value; // for --ocr: the value, or none when the switch is last
    // Set when a required argument is missing: the usage line to print
    // (the process then ends with status 2 without running the task).
    std::optional<std::string> usage;
};

struct Entry {
    const char* name;
    Task task;
    Then then;
};

// Whether the task is a self-check: it runs in a home of its own (none of
// the user's files read or written) and writes only where it is told.
bool is_self_check(Task task);

// The folder a self-check writes its results into, in the found task's
// arguments, or null for a task without one. Empty when the command line
// named none: the caller makes one.
std::string* output_folder(Found& found);

// The switches in the order they are searched.
extern const Entry TABLE[10];

const Entry& entry(Task task);

// The switches present in `args` (program path at position 0), in the table's
// order, each with what it hands on.
std::vector<Found> search(const std::vector<std::string>& args);

} // namespace switches
