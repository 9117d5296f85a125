#include "app/switches.h"

#include <gtest/gtest.h>

using switches::Task;

namespace {

std::vector<Task> tasks(const std::vector<switches::Found>& found)
{
    std::vector<Task> out;
    for (const auto& f : found)
        out.push_back(f.task);
    return out;
}

} // namespace

TEST(Switches, SearchedInTableOrderWhateverTheArgumentOrder)
{
    const auto found = switches::search({ "vistrope", "--selftest", "/tmp/s", "--ocr", "img.png" });
    ASSERT_EQ(tasks(found), (std::vector<Task> { Task::Ocr, Task::Selftest }));
    EXPECT_EQ(found[0].value, "img.png");
    EXPECT_EQ(found[1].args, (std::vector<std::string> { "/tmp/s" }));
    // --ocr ends the process, so --selftest never runs.
    EXPECT_EQ(switches::entry(Task::Ocr).then, switches::Then::Exit);
    EXPECT_EQ(switches::entry(Task::Selftest).then, switches::Then::GoOn);
}

TEST(Switches, ValuesAreTakenLiterallyAndEachSwitchSearchesTheWholeList)
{
    const auto found = switches::search({ "vistrope", "--record-test", "--scroll-test" });
    ASSERT_EQ(tasks(found), (std::vector<Task> { Task::RecordTest, Task::ScrollTest }));
    EXPECT_EQ(found[0].args, (std::vector<std::string> { "--scroll-test" }));
    EXPECT_EQ(found[1].args, (std::vector<std::string> { "" }));
}

TEST(Switches, DefaultsForMissingValues)
{
    // A self-check without a folder gets none here: the entry makes a new
    // one, never a fixed name another user could have made first.
    for (const char* name : { "--debug-recorder", "--record-test", "--scroll-test", "--prefs-render", "--selftest" }) {
        auto found = switches::search({ "v", name });
        ASSERT_EQ(found.size(), 1u);
        EXPECT_TRUE(switches::is_self_check(found[0].task)) << name;
        ASSERT_NE(switches::output_folder(found[0]), nullptr) << name;
        EXPECT_EQ(*switches::output_folder(found[0]), "") << name;
    }
    auto video = switches::search({ "v", "--video-ui", "a.mp4", "out" });
    EXPECT_EQ(switches::output_folder(video[0]), &video[0].args[1]);
    for (const char* tool : { "--ocr", "--gif", "--gif-bench" }) {
        auto found = switches::search({ "v", tool });
        EXPECT_FALSE(switches::is_self_check(found[0].task)) << tool;
        EXPECT_EQ(switches::output_folder(found[0]), nullptr) << tool;
    }
    EXPECT_EQ(switches::search({ "v", "--editor-render" })[0].args, (std::vector<std::string> { "", "" }));
    EXPECT_EQ(switches::search({ "v", "--editor-render", "a" })[0].args, (std::vector<std::string> { "a", "" }));
    EXPECT_EQ(switches::search({ "v", "--video-ui" })[0].args, (std::vector<std::string> { "", "" }));
    EXPECT_EQ(switches::search({ "v", "--video-ui", "a.mp4", "out" })[0].args, (std::vector<std::string> { "a.mp4", "out" }));
    // A required argument missing gives the usage line instead of a run.
    EXPECT_EQ(switches::search({ "v", "--video-ui" })[0].usage, "uso: vistrope --video-ui VIDEO [CARPETA]");
    EXPECT_FALSE(switches::search({ "v", "--video-ui", "a.mp4" })[0].usage);
    EXPECT_EQ(switches::search({ "v", "--editor-render", "a" })[0].usage, "uso: vistrope --editor-render IMAGEN SALIDA.png");
    EXPECT_FALSE(switches::search({ "v", "--editor-render", "a", "b.png" })[0].usage);
    EXPECT_FALSE(switches::search({ "v", "--record-test" })[0].usage);
    const auto ocr = switches::search({ "v", "--ocr" });
    ASSERT_EQ(ocr.size(), 1u);
    EXPECT_FALSE(ocr[0].value);
    EXPECT_TRUE(switches::search({ "v", "--gif" })[0].args.empty());
    EXPECT_EQ(switches::search({ "v", "--gif-bench", "a", "10" })[0].args, (std::vector<std::string> { "a", "10" }));
}

TEST(Switches, FirstOccurrenceCountsAndMatchingIsExact)
{
    const auto found = switches::search({ "v", "--prefs-render", "one", "--prefs-render", "two", "--OCR", "--ocr=x", "-ocr" });
    ASSERT_EQ(tasks(found), (std::vector<Task> { Task::PrefsRender }));
    EXPECT_EQ(found[0].args[0], "one");
    // The program path at position 0 is searched too.
    EXPECT_EQ(tasks(switches::search({ "--selftest" })), (std::vector<Task> { Task::Selftest }));
    EXPECT_TRUE(switches::search({ "vistrope", "foo", "bar" }).empty());
}

TEST(Switches, EditorRenderBeforePrefsRender)
{
    const auto found = switches::search({ "v", "--prefs-render", "--editor-render" });
    ASSERT_EQ(tasks(found), (std::vector<Task> { Task::EditorRender, Task::PrefsRender }));
    EXPECT_EQ(switches::entry(Task::EditorRender).then, switches::Then::Return);
}
