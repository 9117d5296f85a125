// The floors of src/: a folder includes only folders on lower floors, and the
// three on the sixth floor none of each other. Reads the real tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::map<std::string, int> FLOORS = {
    { "base", 1 }, { "platform", 2 }, { "codec", 3 }, { "ui", 4 }, { "capture", 5 },
    { "editor", 6 }, { "record", 6 }, { "scroll", 6 }, { "cards", 7 }, { "settings", 8 }, { "app", 9 },
};

// "src/<folder>/…: includes <target>/…" for every include that leaves its floor
// or goes up, and for folders the table does not know.
std::vector<std::string> violations(const fs::path& src)
{
    static const std::regex include(R"(^\s*#\s*include\s*"([a-z_]+)/)");
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path relative = fs::relative(entry.path(), src);
        if (relative.begin() == relative.end() || std::next(relative.begin()) == relative.end())
            continue; // main.cpp: above every floor
        const std::string folder = relative.begin()->string();
        const auto own = FLOORS.find(folder);
        if (own == FLOORS.end()) {
            found.push_back("src/" + relative.string() + ": a folder without a floor");
            continue;
        }
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            std::smatch m;
            if (!std::regex_search(line, m, include) || m[1] == folder)
                continue;
            const auto target = FLOORS.find(m[1]);
            if (target == FLOORS.end() || target->second >= own->second)
                found.push_back("src/" + relative.string() + ": includes " + m[1].str() + "/");
        }
    }
    return found;
}

TEST(Layers, EveryIncludeRunsDownAFloor)
{
    const fs::path src = fs::path(VISTROPE_SOURCE_DIR) / "src";
    ASSERT_TRUE(fs::is_directory(src)) << src;
    const auto found = violations(src);
    std::string list;
    for (const auto& v : found)
        list += v + "\n";
    EXPECT_TRUE(found.empty()) << list;
    // The walk saw the tree: every floor has files.
    for (const auto& [folder, floor] : FLOORS)
        EXPECT_TRUE(fs::is_directory(src / folder)) << folder;
}

} // namespace
