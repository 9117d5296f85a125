// The floors of src/: a folder includes only folders on lower floors, and the
// three on the sixth floor none of each other. Reads the real tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::map<std::string, int> FLOORS = {
    { "base", 1 }, { "platform", 2 }, { "codec", 3 }, { "ui", 4 }, { "capture", 5 },
    { "editor", 6 }, { "record", 6 }, { "scroll", 6 }, { "cards", 7 }, { "settings", 8 }, { "app", 9 },
};

// The includes of one file (its path relative to src/) that leave its floor
// or go up: quoted or angled, and "../" paths resolved against its folder.
std::vector<std::string> violations_in(const fs::path& relative, std::istream& text)
{
    static const std::regex include(R"(^\s*#\s*include\s*["<]([^">]+)[">])");
    std::vector<std::string> found;
    if (std::next(relative.begin()) == relative.end())
        return found; // main.cpp: above every floor
    const std::string folder = relative.begin()->string();
    const auto own = FLOORS.find(folder);
    if (own == FLOORS.end())
        return { "src/" + relative.string() + ": a folder without a floor" };
    std::string line;
    while (std::getline(text, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, include))
            continue;
        fs::path target(m[1].str());
        if (target.begin()->string() == "." || target.begin()->string() == "..")
            target = (relative.parent_path() / target).lexically_normal();
        if (std::next(target.begin()) == target.end())
            continue; // <vector>, "gtest.h": not ours
        const auto floor = FLOORS.find(target.begin()->string());
        if (floor == FLOORS.end() || target.begin()->string() == folder)
            continue; // a library's folder (<QtCore/…>, <fmt/…>), or the file's own
        if (floor->second >= own->second)
            found.push_back("src/" + relative.string() + ": includes " + target.string());
    }
    return found;
}

std::vector<std::string> violations(const std::string& relative, const std::string& text)
{
    std::istringstream in(text);
    return violations_in(relative, in);
}

TEST(Layers, EveryIncludeRunsDownAFloor)
{
    const fs::path src = fs::path(VISTROPE_SOURCE_DIR) / "src";
    ASSERT_TRUE(fs::is_directory(src)) << src;
    std::string list;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path());
        for (const auto& v : violations_in(fs::relative(entry.path(), src), in))
            list += v + "\n";
    }
    EXPECT_TRUE(list.empty()) << list;
    for (const auto& [folder, floor] : FLOORS)
        EXPECT_TRUE(fs::is_directory(src / folder)) << folder;
}

TEST(Layers, TheCheckSeesIncludesUpSidewaysAndThroughRelativePaths)
{
    // Up, in each spelling the compiler accepts.
    EXPECT_EQ(violations("capture/a.cpp", "#include \"cards/pin.h\"\n").size(), 1u);
    EXPECT_EQ(violations("capture/a.cpp", "#include \"../cards/pin.h\"\n").size(), 1u);
    EXPECT_EQ(violations("base/a.h", "#  include <app/app.h>\n").size(), 1u);
    EXPECT_EQ(violations("capture/glass/a.cpp", "#include \"../../settings/prefs.h\"\n").size(), 1u);
    // Sideways on the sixth floor, and a folder without a floor.
    EXPECT_EQ(violations("record/a.cpp", "#include \"scroll/scroll.h\"\n").size(), 1u);
    EXPECT_EQ(violations("newroom/a.cpp", "").size(), 1u);
    // Down, its own folder, libraries and main.cpp are fine.
    EXPECT_TRUE(violations("cards/a.cpp",
        "#include \"capture/output.h\"\n#include \"cards/pin.h\"\n#include \"./pin_geometry.h\"\n"
        "#include <QtCore/QObject>\n#include <fmt/format.h>\n#include <vector>\n")
                    .empty());
    EXPECT_TRUE(violations("main.cpp", "#include \"app/app.h\"\n").empty());
}

} // namespace
