// docs/architecture.md against the tree it maps: every name it cites in
// backticks is in the code, every path it names exists, its table of threads
// names exactly the threads the code names, and it stays short enough to be
// read whole (2,500 words). Reads the real tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t MAP_WORDS_MAX = 2500;

const fs::path& repo_root()
{
    static const fs::path root = VISTROPE_SOURCE_DIR;
    return root;
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool is_word_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// C++ text without its comments; string and character literals kept (a
// "https://" is no comment), raw strings included.
std::string without_comments(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        if (s.compare(i, 2, "//") == 0) {
            while (i < s.size() && s[i] != '\n')
                ++i;
        } else if (s.compare(i, 2, "/*") == 0) {
            const auto end = s.find("*/", i + 2);
            i = end == std::string::npos ? s.size() : end + 2;
            out += ' ';
        } else if (s.compare(i, 2, "R\"") == 0 && (i == 0 || !is_word_char(s[i - 1]))) {
            const auto open = s.find('(', i);
            const std::string close = ")" + s.substr(i + 2, open - i - 2) + "\"";
            const auto end = s.find(close, open);
            const auto stop = end == std::string::npos ? s.size() : end + close.size();
            out.append(s, i, stop - i);
            i = stop;
        } else if (s[i] == '"' || (s[i] == '\'' && (i == 0 || !std::isxdigit(static_cast<unsigned char>(s[i - 1]))))) {
            // A quote after a hex digit is a digit separator (0x00'ff), no literal.
            const char quote = s[i];
            std::size_t j = i + 1;
            while (j < s.size() && s[j] != quote && s[j] != '\n')
                j += s[j] == '\\' ? 2 : 1;
            j = std::min(j + 1, s.size());
            out.append(s, i, j - i);
            i = j;
        } else {
            out += s[i++];
        }
    }
    return out;
}

std::vector<std::string> words_of(const std::string& text)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size();) {
        if (!is_word_char(text[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && is_word_char(text[j]))
            ++j;
        out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

// The code the map may cite: src/, tests/, bench/, fuzz/, scripts/ and the
// CMake files, each C++ file without its comments (a name that survives only
// in a comment is gone from the code).
struct Tree {
    std::map<std::string, std::string> code; // by path from the repository's root
    std::map<std::string, std::set<std::string>> words;
    std::set<std::string> all_words;
    // The files that open a namespace, class, struct or enum of each name
    // (`namespace a::b` counts for a, b and a::b).
    std::map<std::string, std::set<std::string>> declaring;
};

bool is_cpp(const fs::path& p)
{
    const std::string e = p.extension().string();
    return e == ".h" || e == ".cpp" || e == ".hpp" || e == ".c";
}

Tree read_tree()
{
    Tree t;
    const auto add = [&t](const fs::path& path) {
        const std::string relative = fs::relative(path, repo_root()).string();
        const std::string text = is_cpp(path) ? without_comments(read_text(path)) : read_text(path);
        auto& words = t.words[relative];
        for (std::string& w : words_of(text))
            words.insert(std::move(w));
        t.all_words.insert(words.begin(), words.end());
        // The name after each namespace, class, struct and enum keyword (a
        // plain scan: a regex over the whole tree takes seconds).
        const auto name_at = [&text](std::size_t i) {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
            const std::size_t from = i;
            while (i < text.size() && (is_word_char(text[i]) || text[i] == ':'))
                ++i;
            return text.substr(from, i - from);
        };
        for (const std::string keyword : { "namespace", "class", "struct", "enum" }) {
            for (std::size_t at = text.find(keyword); at != std::string::npos; at = text.find(keyword, at + 1)) {
                const std::size_t after = at + keyword.size();
                if ((at > 0 && is_word_char(text[at - 1])) || after >= text.size()
                    || !std::isspace(static_cast<unsigned char>(text[after])))
                    continue;
                std::string name = name_at(after);
                if (keyword == "enum" && name == "class")
                    name = name_at(text.find("class", after) + 5);
                if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_'))
                    continue;
                t.declaring[name].insert(relative);
                for (std::size_t from = 0, colons; (colons = name.find("::", from)) != std::string::npos; from = colons + 2) {
                    t.declaring[name.substr(from, colons - from)].insert(relative);
                    t.declaring[name.substr(colons + 2)].insert(relative);
                }
            }
        }
        t.code[relative] = text;
    };
    add(repo_root() / "CMakeLists.txt");
    for (const char* folder : { "src", "tests", "bench", "fuzz", "scripts" }) {
        for (const auto& entry : fs::recursive_directory_iterator(repo_root() / folder)) {
            const fs::path& p = entry.path();
            if (entry.is_regular_file()
                && (is_cpp(p) || p.filename() == "CMakeLists.txt" || std::string(folder) == "scripts"))
                add(p);
        }
    }
    return t;
}

const Tree& tree()
{
    static const Tree t = read_tree();
    return t;
}

bool contains_code(const Tree& t, const std::string& text)
{
    return std::any_of(t.code.begin(), t.code.end(), [&](const auto& f) { return f.second.find(text) != std::string::npos; });
}

// `a::b::c`: c is a word of a file that declares b (a namespace or a class).
bool has_qualified(const Tree& t, const std::string& name)
{
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        const auto at = name.find("::", from);
        parts.push_back(name.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            break;
        from = at + 2;
    }
    if (parts.front() == "std")
        return true;
    const auto owners = t.declaring.find(parts[parts.size() - 2]);
    if (owners == t.declaring.end())
        return false;
    return std::any_of(owners->second.begin(), owners->second.end(),
        [&](const std::string& file) { return t.words.at(file).contains(parts.back()); });
}

// What a backticked span names that the tree lacks: "" when all is there.
std::string missing_in_span(const Tree& t, const std::string& span)
{
    static const std::regex include(R"(^#include\s+["<]([^">]+)[">]$)");
    static const std::regex test_name(R"(^([A-Z]\w*)\.([A-Z]\w*)$)");
    static const std::regex qualified(R"([A-Za-z_]\w*(?:::[A-Za-z_]\w*)+)");
    std::smatch m;
    if (std::regex_match(span, m, include))
        return fs::exists(repo_root() / "src" / m[1].str()) ? "" : "src/" + m[1].str();
    if (std::regex_match(span, m, test_name)) {
        const std::string declared = "(" + m[1].str() + ", " + m[2].str() + ")";
        for (const auto& [file, text] : t.code)
            if (file.starts_with("tests/") && text.find(declared) != std::string::npos)
                return "";
        return span;
    }
    static const std::regex path(R"(^[\w.*-]+/[\w./*-]*$)");
    if (std::regex_match(span, path))
        return ""; // a path: missing_paths checks it
    if (span.starts_with("_") || span.ends_with("_")) // a name's prefix or suffix
        return contains_code(t, span) ? "" : span;
    std::string rest = span;
    for (std::sregex_iterator q(span.begin(), span.end(), qualified), end; q != end; ++q) {
        if (!has_qualified(t, q->str()))
            return q->str();
        rest.replace(static_cast<std::size_t>(q->position()), static_cast<std::size_t>(q->length()),
            static_cast<std::size_t>(q->length()), ' ');
    }
    const std::vector<std::string> words = words_of(rest);
    if (words.size() == 1 && words.front() == rest) // one identifier: a word of the code
        return t.all_words.contains(rest) ? "" : rest;
    if (contains_code(t, span)) // a switch, a call, a literal: as written
        return "";
    for (const std::string& w : words)
        if (w.size() > 1 && !std::isdigit(static_cast<unsigned char>(w[0])) && !t.all_words.contains(w))
            return w;
    return "";
}

std::vector<std::string> backticked(const std::string& map)
{
    std::vector<std::string> spans;
    for (std::size_t at = map.find('`'); at != std::string::npos;) {
        const auto end = map.find('`', at + 1);
        if (end == std::string::npos)
            break;
        spans.push_back(map.substr(at + 1, end - at - 1));
        at = map.find('`', end + 1);
    }
    return spans;
}

// Folders a path in the map may start from: the repository's, src/'s and the
// platform layer's (x11/, fake/ …).
std::vector<fs::path> path_bases()
{
    return { repo_root(), repo_root() / "src", repo_root() / "src" / "platform" };
}

bool path_exists(const std::string& path)
{
    const auto star = path.find('*');
    for (const fs::path& base : path_bases()) {
        if (star == std::string::npos) {
            const fs::path p = base / path;
            // A module may be named without its extension: ffmpeg/mp4_writer.
            if (fs::exists(p) || (!p.has_extension() && (fs::exists(p.string() + ".h") || fs::exists(p.string() + ".cpp"))))
                return true;
            continue;
        }
        const fs::path pattern = base / path;
        const std::string prefix = pattern.filename().string().substr(0, pattern.filename().string().find('*'));
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(pattern.parent_path(), ec))
            if (entry.path().filename().string().starts_with(prefix))
                return true;
    }
    return false;
}

// The paths the map names that do not exist. A path is a token with a slash
// whose first folder is one of the tree's; "$XDG_STATE_HOME/…", "libx264/…"
// and the like are not.
std::vector<std::string> missing_paths(const std::string& map)
{
    std::set<std::string> roots;
    for (const fs::path& base : path_bases())
        for (const auto& entry : fs::directory_iterator(base))
            if (entry.is_directory())
                roots.insert(entry.path().filename().string());
    static const std::regex token(R"((?:^|[\s(`"])((?:[\w.-]+/)+[\w.*-]*))");
    std::vector<std::string> missing;
    for (std::sregex_iterator m(map.begin(), map.end(), token), end; m != end; ++m) {
        std::string path = (*m)[1].str();
        while (!path.empty() && (path.back() == '.' || path.back() == ','))
            path.pop_back();
        if (roots.contains(path.substr(0, path.find('/'))) && !path_exists(path))
            missing.push_back(path);
    }
    return missing;
}

// A section of the map: from its "## " heading to the next.
std::string section(const std::string& map, const std::string& heading)
{
    const auto start = map.find("\n## " + heading + "\n");
    if (start == std::string::npos)
        return "";
    const auto end = map.find("\n## ", start + 1);
    return map.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::string> cells(const std::string& row)
{
    std::vector<std::string> out;
    std::istringstream in(row.substr(1));
    std::string cell;
    while (std::getline(in, cell, '|'))
        out.push_back(cell);
    return out;
}

// The files the platform-interface table names (its interface, backend and
// fake columns): each is a file under src/platform/, named with or without
// its folder and extension.
std::vector<std::string> missing_platform_files(const std::string& map)
{
    std::set<std::string> known;
    for (const auto& entry : fs::recursive_directory_iterator(repo_root() / "src" / "platform")) {
        const fs::path relative = fs::relative(entry.path(), repo_root() / "src" / "platform");
        for (const fs::path& p : { relative, relative.filename() }) {
            known.insert(p.string());
            known.insert(fs::path(p).replace_extension().string());
        }
    }
    const std::string seams = section(map, "Seams");
    const auto table = seams.find("| interface |");
    std::vector<std::string> missing;
    if (table == std::string::npos)
        return { "the platform-interface table (| interface | backend | fake |)" };
    static const std::regex file(R"([\w/]*[_/.][\w/.]*)");
    std::istringstream rows(seams.substr(table));
    std::string row;
    while (std::getline(rows, row) && row.starts_with("|")) {
        if (row.starts_with("| interface") || row.starts_with("|---"))
            continue;
        for (const std::string& cell : cells(row)) {
            const std::string names = cell.substr(0, cell.find('(')); // "(runs … on the CPU)" is prose
            for (std::sregex_iterator m(names.begin(), names.end(), file), end; m != end; ++m)
                if (!known.contains(m->str()))
                    missing.push_back(m->str());
        }
    }
    return missing;
}

// The names the code gives its threads: the literal each util::Thread::start,
// util::start_detached, util::Worker and util::ThreadName is given, or that
// reaches one through a constructor taking a `thread_name` (the frame relay),
// and the main thread's, which is the program's executable.
std::map<std::string, std::string> code_thread_names(const Tree& t)
{
    std::set<std::string> types = { "ThreadName", "Worker" };
    static const std::regex forwarder(R"(\b(\w+)\s*\([^()]*\bstd::string\s+thread_name\b)");
    for (const auto& [file, text] : t.code)
        if (file.starts_with("src/") && text.find("thread_name") != std::string::npos)
            for (std::sregex_iterator m(text.begin(), text.end(), forwarder), end; m != end; ++m)
                types.insert((*m)[1].str());
    // Members and variables of those types start their thread when they are built.
    std::set<std::string> variables;
    for (const std::string& type : types) {
        const std::regex variable("\\b" + type + R"(>?\s+(\w+)\s*[;{(])");
        for (const auto& [file, text] : t.code)
            if (file.starts_with("src/") && text.find(type) != std::string::npos)
                for (std::sregex_iterator m(text.begin(), text.end(), variable), end; m != end; ++m)
                    if ((*m)[1].str() != "final")
                        variables.insert((*m)[1].str());
    }
    std::map<std::string, std::string> names; // name → where
    static const std::regex literal(R"re("([^"\\\n]*)")re");
    for (const auto& [file, text] : t.code) {
        if (!file.starts_with("src/") || file.starts_with("src/base/util_thread"))
            continue;
        const auto& words = t.words.at(file);
        const auto any_of_in = [&words](const std::set<std::string>& names) {
            return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return words.contains(n); });
        };
        if (!words.contains("start") && !words.contains("start_detached") && !any_of_in(types) && !any_of_in(variables))
            continue;
        for (std::sregex_iterator m(text.begin(), text.end(), literal), end; m != end; ++m) {
            // The call the literal is an argument of: the nearest bracket left open before it.
            int depth = 0;
            std::size_t at = static_cast<std::size_t>(m->position());
            const std::size_t stop = at > 4000 ? at - 4000 : 0; // a call spans less
            bool open = false;
            while (at > stop && !open) {
                const char c = text[--at];
                if (c == ')' || c == '}')
                    ++depth;
                else if (c == '(' || c == '{')
                    open = depth-- == 0;
            }
            if (!open)
                continue;
            std::string callee = text.substr(at > 80 ? at - 80 : 0, std::min<std::size_t>(at, 80));
            while (!callee.empty() && std::isspace(static_cast<unsigned char>(callee.back())))
                callee.pop_back();
            if (callee.ends_with(">"))
                callee.pop_back();
            const std::vector<std::string> before = words_of(callee);
            if (before.empty())
                continue;
            const std::string& last = before.back();
            const std::string previous = before.size() > 1 ? before[before.size() - 2] : "";
            const bool starts = previous + "::" + last == "Thread::start" || previous + "::" + last == "util::start_detached"
                || types.contains(last) || variables.contains(last)
                || (types.contains(previous) && std::regex_search(callee, std::regex(previous + R"(>?\s+)" + last + "$")));
            if (starts)
                names.emplace((*m)[1].str(), file);
        }
    }
    for (const auto& [file, text] : t.code)
        if (file.ends_with("CMakeLists.txt") && text.find("add_executable(vistrope-app") != std::string::npos)
            names.emplace("vistrope-app", file);
    return names;
}

// The names in the threads table's name column ("vistrope-…" only: the
// pooled threads and the libraries' keep names of their own).
std::set<std::string> table_thread_names(const std::string& map)
{
    const std::string threads = section(map, "Threads");
    std::istringstream rows(threads);
    std::string row;
    std::optional<std::size_t> column;
    std::set<std::string> names;
    static const std::regex name(R"(vistrope-[a-z0-9-]+)");
    while (std::getline(rows, row)) {
        if (!row.starts_with("|") || row.starts_with("|---"))
            continue;
        const std::vector<std::string> c = cells(row);
        if (!column) {
            const auto found = std::find(c.begin(), c.end(), " name ");
            if (found != c.end())
                column = static_cast<std::size_t>(found - c.begin());
            continue;
        }
        if (*column < c.size())
            for (std::sregex_iterator m(c[*column].begin(), c[*column].end(), name), end; m != end; ++m)
                names.insert(m->str());
    }
    return names;
}

// Everything wrong with a map, one line each.
std::vector<std::string> map_faults(const std::string& map)
{
    const Tree& t = tree();
    std::vector<std::string> faults;
    std::istringstream in(map);
    std::size_t words = 0;
    for (std::string w; in >> w;)
        ++words;
    if (words > MAP_WORDS_MAX)
        faults.push_back("the map has " + std::to_string(words) + " words, more than " + std::to_string(MAP_WORDS_MAX));
    for (const std::string& span : backticked(map))
        if (const std::string missing = missing_in_span(t, span); !missing.empty())
            faults.push_back("`" + span + "`: the code has no " + missing);
    for (const std::string& path : missing_paths(map))
        faults.push_back("no such path: " + path);
    for (const std::string& file : missing_platform_files(map))
        faults.push_back("the platform-interface table names " + file + ", which src/platform/ lacks");
    static const auto in_code = code_thread_names(t);
    const auto in_table = table_thread_names(map);
    for (const auto& [name, file] : in_code) {
        if (!in_table.contains(name))
            faults.push_back("the thread " + name + " (" + file + ") is not in the threads table");
        if (name.size() > 15)
            faults.push_back("the thread name " + name + " (" + file + ") is longer than the kernel keeps (15)");
    }
    for (const std::string& name : in_table)
        if (!in_code.contains(name))
            faults.push_back("the threads table names " + name + ", which no thread in the code is called");
    return faults;
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& l : lines)
        out += "\n  " + l;
    return out;
}

const std::string& real_map()
{
    static const std::string map = read_text(repo_root() / "docs" / "architecture.md");
    return map;
}

TEST(ArchitectureMap, CitesOnlyWhatTheCodeHasAndNamesEveryThread)
{
    ASSERT_FALSE(real_map().empty());
    ASSERT_GE(code_thread_names(tree()).size(), 10u) << "the thread names were not found in src/";
    const auto faults = map_faults(real_map());
    EXPECT_TRUE(faults.empty()) << "docs/architecture.md:" << joined(faults);
}

// The same checks on a map that drifted: a renamed function, a moved file,
// a thread renamed in the table, a class renamed in the seams, and padding.
TEST(ArchitectureMap, ADriftedMapIsCaught)
{
    const auto drifted = [](std::string from, const std::string& what, const std::string& with) {
        const auto at = from.find(what);
        EXPECT_NE(at, std::string::npos) << what;
        if (at != std::string::npos)
            from.replace(at, what.size(), with);
        return map_faults(from);
    };
    const auto has = [](const std::vector<std::string>& faults, const std::string& part) {
        return std::any_of(faults.begin(), faults.end(), [&](const std::string& f) { return f.find(part) != std::string::npos; });
    };
    const std::string& map = real_map();
    EXPECT_TRUE(has(drifted(map, "`util::on_main`", "`util::on_main_thread`"), "util::on_main_thread"));
    EXPECT_TRUE(has(drifted(map, "src/base/util_thread.h", "src/base/util_threads.h"), "src/base/util_threads.h"));
    EXPECT_TRUE(has(drifted(map, "| vistrope-grab |", "| vistrope-grabber |"), "vistrope-grabber"));
    EXPECT_TRUE(has(drifted(map, "| vistrope-grab |", "| vistrope-grabber |"), "vistrope-grab ("));
    EXPECT_TRUE(has(drifted(map, "hot_keys_fake", "hot_keys_fakes"), "hot_keys_fakes"));
    EXPECT_TRUE(has(drifted(map, "`Layers.EveryIncludeRunsDownAFloor`", "`Layers.EveryInclude`"), "Layers.EveryInclude"));
    std::string padded = map;
    for (std::size_t i = 0; i < MAP_WORDS_MAX; ++i)
        padded += " w";
    EXPECT_TRUE(has(map_faults(padded), "words"));
}

} // namespace
