// The settings file against what a hand, a crash or a fuzzer may leave in it:
// every text survives a save, and nothing read can stop the program.
#include "base/config.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <random>
#include <sys/resource.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

fs::path settings_path(const TempHome& home)
{
    return home.path() / ".config/vistrope/config.toml";
}

std::string repeat(std::string_view piece, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

// Equal, with NaN equal to NaN: a mutated file may well say `nan`.
bool same(const config::Config& a, const config::Config& b)
{
    config::Config x = a, y = b;
    if (std::isnan(x.quick_access_seconds) && std::isnan(y.quick_access_seconds))
        x.quick_access_seconds = y.quick_access_seconds = 0;
    return x == y;
}

// A text of pieces that TOML writers get wrong: control characters, both
// quotes in runs, backslashes, line breaks, and non-ASCII of every UTF-8
// length up to U+10FFFF.
std::string random_text(std::mt19937& rng)
{
    static const std::string pieces[] = { std::string(1, '\0'), "\x01", "\b", "\t", "\n", "\f", "\r", "\x1b", "\x1f", "\x7f",
        "\"", "'", "\\", " ", "#", "=", "[", ".", "u", "a", "Z", "é", "ñ", "\u07FF", "\u0800", "€", "\uFFFD", "\uFEFF",
        "\U00010000", "😀", "\U0010FFFF" };
    std::string out;
    const int length = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int i = 0; i < length; ++i)
        out += pieces[std::uniform_int_distribution<size_t>(0, std::size(pieces) - 1)(rng)];
    return out;
}

config::Config random_config(std::mt19937& rng)
{
    config::Config c;
    c.save_dir = random_text(rng);
    c.update_feed = random_text(rng);
    c.shortcuts.pin_last = random_text(rng);
    c.shortcuts.capture_scrolling = random_text(rng);
    c.quick_access_seconds = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
    c.self_timer_seconds = static_cast<std::uint32_t>(rng());
    c.recording.fps = static_cast<std::uint32_t>(rng());
    c.after_capture.flash = rng() % 2;
    return c;
}

// Rewrites a span of the text with pieces of TOML, so that mutants are
// mostly near-valid rather than noise.
void mutate(std::string& text, std::mt19937& rng)
{
    static const char* const pieces[] = { "\"", "'", "'''", "\"\"\"", "\\", "\\u00", "\n", "\r\n", "=", ".", "[", "]", "[[",
        "{", "}", ",", "#", " ", "a", "0", "-1", "1e400", "nan", "inf", "true", "save_dir", "recording", "fps", "\x01", "\xff",
        "\xc3\xb1", "4294967296", "1979-05-27" };
    auto pos = [&] { return std::uniform_int_distribution<size_t>(0, text.size())(rng); };
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
        switch (rng() % 4) {
        case 0: {
            const size_t at = pos();
            text.erase(at, rng() % 8);
            break;
        }
        case 1:
            text.insert(pos(), pieces[rng() % std::size(pieces)]);
            break;
        case 2: {
            const size_t at = pos();
            if (at < text.size())
                text[at] = static_cast<char>(rng() % 256);
            break;
        }
        default: {
            const size_t from = pos(), to = pos();
            const size_t end = text.find('\n', from);
            text.insert(to, text.substr(from, end == std::string::npos ? std::string::npos : end - from + 1));
            break;
        }
        }
    }
}

} // namespace

TEST(ConfigRoundTrip, DeepKeysAndHeadersAreRefusedBeforeTheParserRecurses)
{
    // Tens of thousands of parts used to overflow the stack inside the parser.
    for (const std::string& deep : { "a" + repeat(".a", 60000) + " = 1\n", "[" + std::string("a") + repeat(".a", 60000) + "]\n",
             "[[" + std::string("a") + repeat(" . \"a\"", 60000) + "]]\n", "x = { " + std::string("a") + repeat(".a", 60000) + " = 1 }\n" }) {
        auto parsed = config::parse(deep);
        ASSERT_FALSE(parsed);
        EXPECT_NE(parsed.error().find("64"), std::string::npos) << parsed.error();
        EXPECT_NE(parsed.error().find("línea 1"), std::string::npos) << parsed.error();
    }
    // The limit is 64 parts; strings, comments and values do not count toward it.
    EXPECT_TRUE(config::parse("a" + repeat(".a", 63) + " = 1\n"));
    EXPECT_FALSE(config::parse("a" + repeat(".a", 64) + " = 1\n"));
    EXPECT_FALSE(config::parse("# x\nsave_dir = \"/x\"\n[b" + repeat(".b", 64) + "]\n").error().find("línea 3") == std::string::npos);
    const std::string dotted = repeat(".", 200);
    auto fine = config::parse("save_dir = \"" + dotted + "\" # " + dotted + "\nupdate_feed = '''\n" + dotted + "'''\n" +
        "[shortcuts]\npin_last = \"\\\"" + dotted + "\"\ncapture_area = '" + dotted + "'\n");
    ASSERT_TRUE(fine) << fine.error();
    EXPECT_EQ(fine->save_dir, dotted);
    EXPECT_EQ(fine->update_feed, dotted);
    EXPECT_EQ(fine->shortcuts.pin_last, "\"" + dotted);
}

TEST(ConfigRoundTrip, DeepOrHugeFileGivesDefaultsWithTheLogLineAndStays)
{
    TempHome home;
    const std::string deep = "save_dir = \"/mine\"\n" + std::string("a") + repeat(".a", 60000) + " = 1\n";
    const std::string huge = "save_dir = \"/mine\"\n" + repeat("# relleno\n", 110000);
    for (const std::string& text : { deep, huge }) {
        write_file(settings_path(home), text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(config::Config::load(), config::Config {});
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("config.toml inválido, uso valores por defecto: "), std::string::npos) << log;
        EXPECT_EQ(read_file(settings_path(home)), text);
    }
}

TEST(ConfigRoundTrip, EveryTextSurvivesSerializeThenParse)
{
    // Texts the printer used to write as literal strings the parser rejects,
    // or that lost their first line break.
    for (const std::string& text : { std::string("a\nb'''c"), std::string("\nleading"), std::string("\"\"\"\"\""),
             std::string("'''"), std::string("\\u0041\\"), std::string("\x00\x01\x1f\x7f", 4), std::string("tab\there\r\n"),
             std::string("ñandú €😀"), std::string() }) {
        config::Config c;
        c.save_dir = text;
        c.shortcuts.capture_text = text;
        auto back = config::parse(config::serialize(c));
        ASSERT_TRUE(back) << back.error() << "\n" << config::serialize(c);
        EXPECT_EQ(back->save_dir, text);
        EXPECT_EQ(*back, c);
    }
    // Bytes that are not UTF-8 cannot be kept, but the file stays readable.
    config::Config broken;
    broken.save_dir = "a\xff\xc3(b\xed\xa0\x80";
    auto back = config::parse(config::serialize(broken));
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back->save_dir, "a\xEF\xBF\xBD\xEF\xBF\xBD(b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");

    std::mt19937 rng(20261207);
    for (int i = 0; i < 3000; ++i) {
        const config::Config c = random_config(rng);
        auto parsed = config::parse(config::serialize(c));
        ASSERT_TRUE(parsed) << parsed.error() << "\n" << config::serialize(c);
        ASSERT_EQ(*parsed, c) << config::serialize(c);
    }
}

TEST(ConfigRoundTrip, MutatedFilesParseAgainToTheSameRecordOrFailCleanly)
{
    std::mt19937 rng(15);
    int accepted = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string text = config::serialize(random_config(rng));
        mutate(text, rng);
        auto first = config::parse(text);
        if (!first) {
            EXPECT_FALSE(first.error().empty());
            continue;
        }
        ++accepted;
        const std::string written = config::serialize(*first);
        auto second = config::parse(written);
        ASSERT_TRUE(second) << second.error() << "\nfrom:\n" << text << "\nwritten:\n" << written;
        ASSERT_TRUE(same(*first, *second)) << "from:\n" << text << "\nwritten:\n" << written;
    }
    // Both outcomes must be common, or the mutations test nothing.
    EXPECT_GT(accepted, 1000);
    EXPECT_LT(accepted, 9000);
}

TEST(ConfigRoundTrip, SaveWritesThroughALinkAndKeepsTheMode)
{
    TempHome home;
    const fs::path real = home.path() / "dotfiles/vistrope.toml";
    write_file(real, "save_dir = \"/old\"\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directories(settings_path(home).parent_path());
    fs::create_symlink("../../dotfiles/vistrope.toml", settings_path(home));

    config::Config c;
    c.save_dir = "/new";
    ASSERT_TRUE(c.save());
    EXPECT_TRUE(fs::is_symlink(settings_path(home)));
    EXPECT_EQ(config::parse(read_file(real))->save_dir, "/new");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(config::Config::load().save_dir, "/new");
}

TEST(ConfigRoundTrip, FailedSaveIsLoggedAndLeavesNoTemporary)
{
    TempHome home;
    // A full disk, as the kernel reports it to a process over its file-size limit.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = old;
    tiny.rlim_cur = 512; // less than the file, more than the captured log line
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    testing::internal::CaptureStderr();
    const config::Config loaded = config::Config::load();
    const std::string log = testing::internal::GetCapturedStderr();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(loaded, config::Config {});
    EXPECT_NE(log.find("no pude guardar config.toml: "), std::string::npos) << log;
    EXPECT_NE(log.find("el archivo es demasiado grande"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_empty(settings_path(home).parent_path())) << "a temporary or half file was left behind";

    // A folder in place of the file is reported, not read as an empty file.
    fs::create_directories(settings_path(home));
    testing::internal::CaptureStderr();
    EXPECT_EQ(config::Config::load(), config::Config {});
    const std::string folder_log = testing::internal::GetCapturedStderr();
    EXPECT_NE(folder_log.find("no pude leer config.toml (es una carpeta)"), std::string::npos) << folder_log;
}

// The file written names what the stored modifier words mean on this
// keyboard, in comments that reading skips.
TEST(ConfigFile, OpensWithWhatTheModifierNamesMean)
{
    const std::string text = config::serialize(config::Config {});
    ASSERT_EQ(text.rfind("# ", 0), 0u) << text;
    const std::string head = text.substr(0, text.find("\n\n"));
    for (const char* line : { "#   cmd   = Ctrl\n", "#   opt   = Alt\n", "#   ctrl  = Super", "#   shift = Mayús\n" })
        EXPECT_NE((head + "\n").find(line), std::string::npos) << line << " in\n" << head;
    // The keys keep their stored names, and the comments change nothing read.
    EXPECT_NE(text.find("capture_area = \"opt+shift+cmd+4\""), std::string::npos);
    auto back = config::parse(text);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, config::Config {});
}
