#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "wait_slack.h"

namespace testing_support {

std::optional<std::string> fatal_message(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const FatalStop& stop) {
        return std::string(stop.what());
    }
    return std::nullopt;
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : m_name(std::move(name))
{
    if (const char* old = std::getenv(m_name.c_str()))
        m_old = old;
    if (value)
        ::setenv(m_name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

ScopedEnv::~ScopedEnv()
{
    if (m_old)
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

std::filesystem::path make_private_dir(const std::filesystem::path& parent)
{
    std::string tmpl = (parent / "vistrope-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp in " + parent.string() + ": " + std::strerror(errno));
    return tmpl;
}

namespace {

pid_t g_run_dir_owner = 0;

// At exit, in the process that made the folder only (a forked child that
// exits must not take its parent's evidence), and only when no test failed.
void remove_run_dir_after_a_clean_run()
{
    if (::getpid() != g_run_dir_owner || ::testing::UnitTest::GetInstance()->Failed())
        return;
    std::error_code ec;
    std::filesystem::remove_all(run_dir(), ec);
}

} // namespace

const std::filesystem::path& run_dir()
{
    // Never destroyed: the exit handler reads it after the static destructors
    // registered later than itself have run.
    static const std::filesystem::path* const dir = [] {
        auto* made = new std::filesystem::path(make_private_dir(std::filesystem::temp_directory_path()));
        g_run_dir_owner = ::getpid();
        std::atexit(remove_run_dir_after_a_clean_run);
        return made;
    }();
    return *dir;
}

std::string run_file(std::string_view name)
{
    return (run_dir() / name).string();
}

TempDir::TempDir()
    : m_path(make_private_dir(std::filesystem::temp_directory_path()))
{
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

TempHome::TempHome()
    : m_env("HOME", m_dir.path().string())
    , m_config("XDG_CONFIG_HOME", std::nullopt)
    , m_state("XDG_STATE_HOME", std::nullopt)
    , m_data("XDG_DATA_HOME", std::nullopt)
    , m_cache("XDG_CACHE_HOME", std::nullopt)
{
}

StderrTap::StderrTap()
{
    char name[] = "/tmp/vistrope-stderr-XXXXXX";
    m_file = ::mkostemp(name, O_CLOEXEC);
    if (m_file < 0)
        throw std::runtime_error(std::string("mkostemp: ") + std::strerror(errno));
    ::unlink(name);
    std::fflush(stderr);
    m_saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    ::dup2(m_file, STDERR_FILENO);
}

StderrTap::~StderrTap()
{
    std::fflush(stderr);
    ::dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
    ::close(m_file);
}

std::string StderrTap::text() const
{
    std::fflush(stderr);
    std::string out;
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(m_file, buffer, sizeof buffer, at);
        if (n <= 0)
            return out;
        out.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
}

bool StderrTap::wait_for(std::string_view needle, int ms) const
{
    return poll_until([&] { return text().find(needle) != std::string::npos; }, ms);
}

std::vector<std::filesystem::path> pngs_in(const std::filesystem::path& dir)
{
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().extension() == ".png" && !e.path().filename().string().starts_with("."))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int bind_socket(const std::filesystem::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void write_file(const std::filesystem::path& path, std::string_view bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace testing_support
