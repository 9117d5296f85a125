// The floors of src/: a folder includes only folders on lower floors, and the
// three on the sixth floor none of each other; nothing declared on a floor is
// defined only above it. Also the rules of docs/architecture.md that a reading
// of the text can check: names of namespace-scope constants and mutable
// state, and no coordinate flip written by hand outside the platform layer.
// Reads the real tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
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

const fs::path& source_root()
{
    static const fs::path src = fs::path(VISTROPE_SOURCE_DIR) / "src";
    return src;
}

// Every source file of src/, by its path relative to src/, with its text.
const std::map<std::string, std::string>& tree()
{
    static const std::map<std::string, std::string> files = [] {
        std::map<std::string, std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(source_root())) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path());
            std::ostringstream text;
            text << in.rdbuf();
            out[fs::relative(entry.path(), source_root()).string()] = text.str();
        }
        return out;
    }();
    return files;
}

// A file's floor; main.cpp stands above them all.
int floor_of(const std::string& relative)
{
    const fs::path p(relative);
    if (std::next(p.begin()) == p.end())
        return 10;
    const auto f = FLOORS.find(p.begin()->string());
    return f == FLOORS.end() ? 10 : f->second;
}

std::string without_comment(const std::string& line)
{
    const auto at = line.find("//");
    return at == std::string::npos ? line : line.substr(0, at);
}

bool starts_with_word(const std::string& line, const std::vector<std::string>& words)
{
    for (const auto& w : words)
        if (line.starts_with(w) && (line.size() == w.size() || !(std::isalnum(static_cast<unsigned char>(line[w.size()])) || line[w.size()] == '_')))
            return true;
    return false;
}

// --- Names of namespace-scope constants and state ------------------------------------

// Declarations at namespace scope (the code does not indent namespaces)
// whose names break the rule: constants SCREAMING_CASE, mutable state
// g_snake_case, thread-local state t_snake_case.
std::vector<std::string> naming_violations(const std::string& relative, const std::string& text)
{
    static const std::vector<std::string> not_variables = { "using", "namespace", "typedef", "return", "template", "struct",
        "class", "enum", "extern", "static_assert", "friend", "public", "private", "protected", "case", "default", "if",
        "else", "for", "while", "do", "switch", "goto", "throw", "co_return", "Q_" };
    static const std::regex templates(R"(<[^<>]*>)");
    static const std::regex variable(
        R"(^((?:(?:inline|static|thread_local|volatile|constinit|constexpr|const|mutable)\s+)*)[\w:]+(?:\s*[*&])?\s+(\w+)\s*(?:\[[^\]]*\])?\s*(=|\{|;))");
    static const std::regex constant_name(R"(^[A-Z][A-Z0-9_]*$)");
    static const std::regex global_name(R"(^g_[a-z0-9_]+$)");
    static const std::regex thread_name(R"(^t_[a-z0-9_]+$)");
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == ' ' || line[0] == '\t' || line[0] == '#' || line[0] == '}' || line[0] == '/')
            continue;
        std::string s = without_comment(line);
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
            s.pop_back();
        if (s.empty() || starts_with_word(s, not_variables) || s.starts_with("Q_"))
            continue;
        if (!s.ends_with(";") && !s.ends_with("{") && !s.ends_with("="))
            continue;
        for (int i = 0; i < 5; ++i)
            s = std::regex_replace(s, templates, "");
        std::smatch m;
        if (!std::regex_search(s, m, variable))
            continue;
        const std::string qualifiers = m[1].str();
        const std::string name = m[2].str();
        const auto has = [&qualifiers](const char* word) {
            return std::regex_search(qualifiers, std::regex(std::string("\\b") + word + "\\b"));
        };
        const bool constant = has("const") || has("constexpr"); // constinit state stays mutable
        const bool per_thread = has("thread_local");
        const bool ok = per_thread ? std::regex_match(name, thread_name)
            : constant             ? std::regex_match(name, constant_name)
                                   : std::regex_match(name, global_name);
        if (!ok)
            found.push_back("src/" + relative + ":" + std::to_string(number) + ": " + name);
    }
    return found;
}

// --- Coordinate flips ------------------------------------------------------------------

// A flip written by hand: a rectangle turned about a frame's top edge
// (`f.y + f.h - r.y - r.h`), or a value turned about the primary screen's
// height. The platform layer owns them (platform/screens.h); the selection
// overlay keeps its own pair, which counts pixel edges.
std::vector<std::string> flip_violations(const std::string& relative, const std::string& text)
{
    if (relative.starts_with("platform/") || relative == "capture/overlay.cpp" || relative == "capture/overlay_geometry.cpp")
        return {};
    static const std::regex about_frame(R"(([\w>.\-]+)(\.|->)y \+ \1\2h - ([\w>.\-]+)(\.|->)y - \3\4h)");
    static const std::regex about_primary(R"(\bprimary_height(\(\))? - )");
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string code = without_comment(line);
        if (std::regex_search(code, about_frame) || std::regex_search(code, about_primary))
            found.push_back("src/" + relative + ":" + std::to_string(number));
    }
    return found;
}

// --- Declarations and their definitions ------------------------------------------------

// The functions a file declares or defines at namespace scope, by qualified
// name. Namespaces are followed by their opening lines and their "} //
// namespace" ends; anonymous ones are left out, as are class members (indented).
struct Functions {
    std::set<std::string> declared;
    std::set<std::string> defined;
};

Functions functions_in(const std::string& text)
{
    static const std::regex opens(R"(^(?:inline\s+)?namespace\s*([\w:]*)\s*\{)");
    static const std::regex closes(R"(^\}\s*//\s*namespace)");
    static const std::regex function(
        R"(^(?:[\w:<>,*&]+\s+)+[*&]?((?:\w+::)*)(\w+)\s*\()");
    static const std::vector<std::string> not_functions = { "using", "typedef", "return", "template", "struct", "class",
        "enum", "extern", "static_assert", "friend", "inline", "constexpr", "consteval", "static", "TEST", "if", "else",
        "case", "default", "Q_" };
    Functions out;
    std::vector<std::string> stack; // "" for an anonymous namespace
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::smatch m;
        if (std::regex_search(line, m, opens)) {
            stack.push_back(m[1].str());
            continue;
        }
        if (std::regex_search(line, closes)) {
            if (!stack.empty())
                stack.pop_back();
            continue;
        }
        if (line.empty() || !(std::isalpha(static_cast<unsigned char>(line[0])) || line[0] == '_') || starts_with_word(line, not_functions)
            || line.find('=') < line.find('('))
            continue;
        if (!std::regex_search(line, m, function))
            continue;
        if (std::find(stack.begin(), stack.end(), std::string()) != stack.end())
            continue;
        // A declaration ends with ';' before any '{' outside the parentheses.
        int depth = 0;
        char end = 0;
        for (std::size_t j = i; j < lines.size() && !end; ++j) {
            const std::string code = without_comment(lines[j]);
            for (std::size_t k = j == i ? static_cast<std::size_t>(m.position(0)) : 0; k < code.size() && !end; ++k) {
                const char c = code[k];
                if (c == '(')
                    ++depth;
                else if (c == ')')
                    --depth;
                else if (depth == 0 && (c == ';' || c == '{'))
                    end = c;
            }
        }
        std::string name;
        for (const auto& n : stack)
            name += n + "::";
        name += m[1].str() + m[2].str();
        (end == ';' ? out.declared : out.defined).insert(name);
    }
    return out;
}

// Functions declared in a header on one floor whose every definition lies
// on a higher floor: the lower floor needs the higher one to link, which
// the include check cannot see.
std::vector<std::string> definitions_above(const std::map<std::string, std::string>& files)
{
    std::map<std::string, int> lowest_definition;
    std::map<std::string, std::pair<std::string, int>> declarations; // name: header, floor
    for (const auto& [relative, text] : files) {
        const Functions f = functions_in(text);
        const int floor = floor_of(relative);
        for (const auto& name : f.defined) {
            const auto at = lowest_definition.find(name);
            if (at == lowest_definition.end() || at->second > floor)
                lowest_definition[name] = floor;
        }
        if (relative.ends_with(".h"))
            for (const auto& name : f.declared)
                if (const auto at = declarations.find(name); at == declarations.end() || at->second.second > floor)
                    declarations[name] = { relative, floor };
    }
    std::vector<std::string> found;
    for (const auto& [name, where] : declarations) {
        const auto def = lowest_definition.find(name);
        if (def != lowest_definition.end() && def->second > where.second)
            found.push_back("src/" + where.first + ": " + name + " is defined only on floor " + std::to_string(def->second));
    }
    return found;
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

TEST(Layers, TheTreeFollowsTheNamingFlipAndDefinitionRules)
{
    std::string names, flips;
    for (const auto& [relative, text] : tree()) {
        for (const auto& v : naming_violations(relative, text))
            names += v + "\n";
        for (const auto& v : flip_violations(relative, text))
            flips += v + "\n";
    }
    EXPECT_TRUE(names.empty()) << "constants SCREAMING_CASE, mutable state g_snake_case, thread-local t_snake_case:\n"
                               << names;
    EXPECT_TRUE(flips.empty()) << "flip through platform/screens.h:\n" << flips;
    std::string above;
    for (const auto& v : definitions_above(tree()))
        above += v + "\n";
    EXPECT_TRUE(above.empty()) << above;
}

TEST(Layers, TheRuleChecksSeeWhatTheyLookFor)
{
    // Names: the old spellings fail, the rule's own pass, locals are no concern.
    EXPECT_EQ(naming_violations("codec/a.cpp", "constexpr std::size_t k_window = 32768;\n").size(), 1u);
    EXPECT_EQ(naming_violations("codec/a.h", "inline constexpr Step kFirst{Step::Kind::First};\n").size(), 1u);
    EXPECT_EQ(naming_violations("app/a.cpp", "bool QUITTING = false;\nint SIGNAL_PIPE[2] = { -1, -1 };\n").size(), 2u);
    EXPECT_EQ(naming_violations("base/a.cpp", "std::atomic<int> own_sounds_held { 0 };\n").size(), 1u);
    EXPECT_EQ(naming_violations("base/a.cpp", "thread_local bool in_chunk = false;\n").size(), 1u);
    EXPECT_EQ(naming_violations("base/a.cpp", "constinit int COUNT = 0;\n").size(), 1u);
    EXPECT_TRUE(naming_violations("base/a.cpp",
        "constexpr std::size_t MAX_WORKERS = 15;\ninline const std::map<std::string, int> FLOORS = {\n"
        "std::atomic<bool> g_no_server_logged { false };\nthread_local bool t_in_chunk = false;\n"
        "static const char* const NAME = \"x\";\n    constexpr int step = 4;\nvoid run(int action);\n"
        "std::optional<std::string> url_host(std::string_view url);\n")
                    .empty());
    // Flips: by hand outside the platform, through it or in the overlay's own pair.
    EXPECT_EQ(flip_violations("record/a.cpp", "return { s.x + r->x, s.y + s.h - r->y - r->h, r->w, r->h };\n").size(), 1u);
    EXPECT_EQ(flip_violations("ui/a.cpp", "const double y = platform::primary_height() - pos.y();\n").size(), 1u);
    EXPECT_TRUE(flip_violations("platform/screens.cpp", "return { f.x + r.x, f.y + f.h - r.y - r.h, r.w, r.h };\n").empty());
    EXPECT_TRUE(flip_violations("capture/overlay.cpp", "return { p.x(), platform::primary_height() - p.y() };\n").empty());
    EXPECT_TRUE(flip_violations("cards/a.cpp", "frame.y = visible.y + visible.h - frame.h;\n").empty());
    // Definitions: a road declared on the fifth floor and defined only on the
    // ninth is found; one defined beside its declaration, or with a
    // definition on a lower floor too, is not.
    const std::map<std::string, std::string> files = {
        { "capture/overlay.h", "namespace overlay {\n\nRoads default_roads();\nvoid set_roads(Roads roads);\n"
                               "std::vector<Entry> entries(int a,\n    int b);\n\n} // namespace overlay\n" },
        { "capture/overlay.cpp", "namespace overlay {\n\nnamespace {\n\nRoads default_roads()\n{\n}\n\n} // namespace\n\n"
                                 "void set_roads(Roads r)\n{\n}\n\n} // namespace overlay\n" },
        { "app/roads.cpp", "namespace overlay {\nRoads default_roads()\n{\n    return {};\n}\n} // namespace overlay\n"
                           "std::vector<overlay::Entry> overlay::entries(int a, int b)\n{\n}\n" },
        { "base/entries.cpp", "namespace overlay {\nstd::vector<Entry> entries(int a, int b) { return {}; }\n} // namespace overlay\n" },
    };
    const auto found = definitions_above(files);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find("overlay::default_roads"), std::string::npos) << found[0];
    EXPECT_NE(found[0].find("src/capture/overlay.h"), std::string::npos) << found[0];
}

} // namespace
