#include "app/switches.h"

#include "base/util.h"

#include <algorithm>

namespace switches {

const Entry TABLE[10] = {
    { "--ocr", Task::Ocr, Then::Exit },
    { "--gif", Task::Gif, Then::Exit },
    { "--gif-bench", Task::GifBench, Then::Exit },
    { "--debug-recorder", Task::DebugRecorder, Then::Exit },
    { "--record-test", Task::RecordTest, Then::GoOn },
    { "--scroll-test", Task::ScrollTest, Then::GoOn },
    { "--editor-render", Task::EditorRender, Then::Return },
    { "--prefs-render", Task::PrefsRender, Then::Exit },
    { "--video-ui", Task::VideoUi, Then::GoOn },
    { "--selftest", Task::Selftest, Then::GoOn },
};

const Entry& entry(Task task)
{
    for (const auto& e : TABLE)
        if (e.task == task)
            return e;
    util::fatal("switches: tarea desconocida");
}

namespace {

std::string at_or(const std::vector<std::string>& args, size_t i, const char* fallback)
{
    return i < args.size() ? args[i] : std::string(fallback);
}

} // namespace

std::vector<Found> search(const std::vector<std::string>& args)
{
    std::vector<Found> found;
    for (const auto& e : TABLE) {
        const auto it = std::find(args.begin(), args.end(), e.name);
        if (it == args.end())
            continue;
        const size_t v = static_cast<size_t>(it - args.begin()) + 1;
        Found f { e.task, {}, std::nullopt, std::nullopt };
        switch (e.task) {
        case Task::Ocr:
            if (v < args.size())
                f.value = args[v];
            break;
        case Task::Gif:
        case Task::GifBench:
            f.args.assign(args.begin() + static_cast<std::ptrdiff_t>(v), args.end());
            break;
        case Task::DebugRecorder:
            f.args = { at_or(args, v, "") };
            break;
        case Task::RecordTest:
            f.args = { at_or(args, v, "") };
            break;
        case Task::ScrollTest:
            f.args = { at_or(args, v, "") };
            break;
        case Task::EditorRender:
            f.args = { at_or(args, v, ""), at_or(args, v + 1, "") };
            if (f.args[0].empty() || f.args[1].empty())
                f.usage = "uso: vistrope --editor-render IMAGEN SALIDA.png";
            break;
        case Task::PrefsRender:
            f.args = { at_or(args, v, "") };
            break;
        case Task::VideoUi:
            f.args = { at_or(args, v, ""), at_or(args, v + 1, "") };
            if (f.args[0].empty())
                f.usage = "uso: vistrope --video-ui VIDEO [CARPETA]";
            break;
        case Task::Selftest:
            f.args = { at_or(args, v, "") };
            break;
        }
        found.push_back(std::move(f));
    }
    return found;
}

bool is_self_check(Task task)
{
    return task != Task::Ocr && task != Task::Gif && task != Task::GifBench;
}

std::string* output_folder(Found& found)
{
    switch (found.task) {
    case Task::DebugRecorder:
    case Task::RecordTest:
    case Task::ScrollTest:
    case Task::PrefsRender:
    case Task::Selftest:
        return &found.args.at(0);
    case Task::VideoUi:
        return &found.args.at(1);
    case Task::Ocr:
    case Task::Gif:
    case Task::GifBench:
    case Task::EditorRender: // writes one named file
        return nullptr;
    }
    return nullptr;
}

} // namespace switches
