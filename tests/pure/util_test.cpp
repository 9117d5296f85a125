#include "test_util.h"
#include "base/util.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <fmt/format.h>

#include <clocale>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>
#include <locale>
#include <fstream>

using namespace testing_support;

TEST(Stopwatch, LapTextHasOneDecimalAndAPoint)
{
    util::Stopwatch sw("captura");
    EXPECT_EQ(sw.lap_text("PNG de 100×100", 12.34), "captura: PNG de 100×100 en 12.3 ms");
    EXPECT_EQ(sw.lap_text("x", 0.05), "captura: x en 0.1 ms");
    // A Spanish locale must not turn the point into a comma: a C++ global
    // locale whose decimal separator is a comma, and the C library's Spanish
    // locale where the machine has one.
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale old = std::locale::global(std::locale(std::locale::classic(), new Comma));
    EXPECT_EQ(sw.lap_text("paso", 12.34), "captura: paso en 12.3 ms");
    EXPECT_EQ(util::format_log_line(1.5, "x"), "1.500 x");
    if (std::setlocale(LC_ALL, "es_ES.UTF-8") || std::setlocale(LC_ALL, "es_MX.UTF-8")) {
        EXPECT_EQ(sw.lap_text("paso", 12.34), "captura: paso en 12.3 ms");
        std::setlocale(LC_ALL, "C");
    }
    std::locale::global(old);
    EXPECT_GE(sw.elapsed_ms(), 0.0);
}

TEST(Log, LineFormatHasThreeDecimals)
{
    EXPECT_EQ(util::format_log_line(1700000000.12345, "listo"), "1700000000.123 listo");
    EXPECT_EQ(util::format_log_line(0.0, "x"), "0.000 x");
}

TEST(Log, FileRulesAtTheSizeLimit)
{
    TempHome home;
    const auto path = util::log_path();
    EXPECT_EQ(path, home.path() / ".local/state/vistrope/vistrope.log");

    // Exactly 2,000,000 bytes: kept and appended to.
    write_file(path, std::string(2'000'000, 'a'));
    std::FILE* f = util::open_log_file(path);
    ASSERT_NE(f, nullptr);
    std::fputs("z\n", f);
    std::fclose(f);
    EXPECT_EQ(std::filesystem::file_size(path), 2'000'002u);

    // 2,000,001 bytes or more: moved aside and started afresh.
    write_file(path, std::string(2'000'001, 'a'));
    f = util::open_log_file(path);
    ASSERT_NE(f, nullptr);
    std::fputs("z\n", f);
    std::fclose(f);
    EXPECT_EQ(read_file(path), "z\n");
    EXPECT_EQ(std::filesystem::file_size(path.string() + ".1"), 2'000'001u);
}

// A client that makes the program log without end (the same line, or lines
// that always differ) from many threads at once: the log and the one file
// before it keep the newest whole lines and stay under twice the limit, and
// a run of one line is written once with its count.
TEST(Log, AFloodFromManyThreadsStaysUnderTheCeilingAndRepeatsAreCounted)
{
    TempDir dir;
    const auto path = dir.path() / "vistrope.log";
    const auto rotated = dir.path() / "vistrope.log.1";
    constexpr std::uintmax_t LIMIT = 4096;
    {
        util::LogWriter writer(path, nullptr, LIMIT);
        ASSERT_TRUE(writer.has_file());
        writer.write(10.0, "listo");
        for (int i = 0; i < 1000; ++i)
            writer.write(10.0 + i * 0.001, "URL desconocida: vistrope://z");
        writer.write(11.5, "otra cosa");
        // A run that goes on for minutes is counted once a minute.
        for (int i = 0; i <= 130; ++i)
            writer.write(20.0 + i, "URL desconocida: vistrope://z");
        writer.finish();
        EXPECT_EQ(read_file(path),
            "10.000 listo\n"
            "10.000 URL desconocida: vistrope://z\n"
            "10.999 URL desconocida: vistrope://z (repetida 999 veces más)\n"
            "11.500 otra cosa\n"
            "20.000 URL desconocida: vistrope://z\n"
            "80.000 URL desconocida: vistrope://z (repetida 60 veces más)\n"
            "140.000 URL desconocida: vistrope://z (repetida 60 veces más)\n"
            "150.000 URL desconocida: vistrope://z (repetida 10 veces más)\n");

        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&writer, t] {
                for (int i = 0; i < 5000; ++i)
                    writer.write(200.0, fmt::format("hilo {} línea {:05}", t, i));
            });
        for (auto& thread : threads)
            thread.join();
        writer.write(300.0, "la última");
    }
    const std::string current = read_file(path), before = read_file(rotated);
    EXPECT_LE(current.size(), LIMIT);
    EXPECT_LE(before.size(), LIMIT);
    EXPECT_TRUE(current.ends_with("300.000 la última\n")) << current;
    // Every line whole: no thread's bytes inside another's.
    std::istringstream lines(before + current);
    size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(200\.000 hilo [0-7] línea \d{5}|300\.000 la última)"))) << line;
    EXPECT_GT(count, 50u);
}

// The tray and a command-line task log to the same file: whichever rotates
// it, the other's lines are neither written into a file already moved aside
// nor destroyed with it; the two files hold the newest lines of both.
TEST(Log, TwoWritersOnOneFileLoseOnlyTheOldestLines)
{
    TempDir dir;
    const auto path = dir.path() / "vistrope.log";
    constexpr std::uintmax_t LIMIT = 1000;
    std::vector<std::string> written;
    {
        util::LogWriter tray(path, nullptr, LIMIT), task(path, nullptr, LIMIT);
        for (int i = 0; i < 300; ++i) {
            written.push_back(fmt::format("{} línea {:04}", i % 3 ? "bandeja" : "tarea", i));
            (i % 3 ? tray : task).write(1.0, written.back());
        }
    }
    std::istringstream lines(read_file(dir.path() / "vistrope.log.1") + read_file(path));
    std::vector<std::string> kept;
    for (std::string line; std::getline(lines, line);)
        kept.push_back(line.substr(std::string("1.000 ").size()));
    ASSERT_FALSE(kept.empty());
    // The newest lines, in order and without a gap, as many as a full
    // older file and the current one hold.
    const std::vector<std::string> newest(written.end() - static_cast<std::ptrdiff_t>(kept.size()), written.end());
    EXPECT_EQ(kept, newest);
    EXPECT_GE(kept.size() * (std::string("1.000 tarea línea 0000\n").size()), LIMIT);
}

TEST(Log, ChildProcessesDoNotInheritTheFile)
{
    TempDir home;
    std::FILE* f = util::open_log_file(home.path() / "log/vistrope.log");
    ASSERT_NE(f, nullptr);
    const int flags = ::fcntl(::fileno(f), F_GETFD);
    std::fclose(f);
    ASSERT_NE(flags, -1);
    EXPECT_TRUE(flags & FD_CLOEXEC);
}

TEST(Log, NoFileWhenTheFolderCannotBeMade)
{
    TempDir home;
    // A plain file where the log's folder should be.
    write_file(home.path() / "log", "x");
    EXPECT_EQ(util::open_log_file(home.path() / "log/vistrope.log"), nullptr);
}

TEST(Log, HomeFallsBackToTmp)
{
    ScopedEnv no_home("HOME", std::nullopt);
    EXPECT_EQ(util::home_dir(), std::filesystem::path("/tmp"));
    ScopedEnv no_state("XDG_STATE_HOME", std::nullopt);
    EXPECT_EQ(util::log_path(), std::filesystem::path("/tmp/.local/state/vistrope/vistrope.log"));
}

TEST(Fatal, HookSeesTheMessage)
{
    EXPECT_EQ(fatal_message([] { util::fatal("cola principal"); }), "cola principal");
    EXPECT_FALSE(fatal_message([] { util::require_main_thread("hilo principal"); }));
    std::optional<std::string> from_thread;
    std::thread([&] { from_thread = fatal_message([] { util::require_main_thread("hilo principal"); }); }).join();
    EXPECT_EQ(from_thread, "hilo principal");
}

TEST(Parallelism, IsAtLeastOne)
{
    EXPECT_GE(util::parallelism(), 1u);
}
