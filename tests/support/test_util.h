// Helpers shared by the test executables.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testing_support {

// Thrown by the fatal hook that the test main installs: a broken invariant
// in the code under test unwinds to the test instead of aborting the run.
struct FatalStop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs `fn` and returns the message of the invariant stop it hit, or nothing.
std::optional<std::string> fatal_message(const std::function<void()>& fn);

// Sets (or with nullopt, unsets) an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// A new folder "vistrope-test-XXXXXX" (mode 0700, made with mkdtemp) in
// `parent`; throws when it cannot be made.
std::filesystem::path make_private_dir(const std::filesystem::path& parent);

// This test process's own folder for what it keeps as evidence (screenshots
// taken for a failure's diagnosis, a self-check's output): made on first use
// under $TMPDIR (or /tmp), so two runs on one machine never share a file.
// It stays when a test failed or the process died, and goes at a clean exit.
const std::filesystem::path& run_dir();
// run_dir() / name, as the string the tools and failure messages take.
std::string run_file(std::string_view name);

// A fresh temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A temporary folder that is $HOME for the life of the object; the XDG
// base variables (config, state, data, cache) are unset meanwhile, so every
// file the program keeps lands under it.
class TempHome {
public:
    TempHome();
    const std::filesystem::path& path() const { return m_dir.path(); }

private:
    TempDir m_dir;
    ScopedEnv m_env;
    ScopedEnv m_config;
    ScopedEnv m_state;
    ScopedEnv m_data;
    ScopedEnv m_cache;
};

// Standard error taken into a file for the life of the object, readable at
// any moment: a test that expects a log line waits for it, since a line may
// be written after the effect the test saw first.
class StderrTap {
public:
    StderrTap();
    ~StderrTap();
    StderrTap(const StderrTap&) = delete;
    StderrTap& operator=(const StderrTap&) = delete;
    // Everything written so far.
    std::string text() const;
    // Polls until the text holds `needle` (deadline stretched by wait_slack()).
    bool wait_for(std::string_view needle, int ms = 5000) const;

private:
    int m_saved = -1;
    int m_file = -1;
};

std::string read_file(const std::filesystem::path& path);
// A Unix socket bound (not listening) at `path`; its descriptor, -1 on failure.
int bind_socket(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view bytes);
// The published .png files directly in `dir` (hidden ones, still being
// written, left out), in name order; none when it cannot be read.
std::vector<std::filesystem::path> pngs_in(const std::filesystem::path& dir);

} // namespace testing_support
