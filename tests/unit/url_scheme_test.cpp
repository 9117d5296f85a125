// The URL scheme's edges toward other processes: the instance socket against
// a client that hoards connections or floods it, the socket's folder against
// another user, and the desktop registration against odd files.
#include "platform/url_scheme.h"
#include "qt_wait.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;
using platform::RequestReader;
using platform::SingleInstance;

namespace {

size_t open_descriptors()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n - 1; // the iterator's own
}

// A client of the same user that connects and sends nothing. -1 while the
// server's backlog is full.
int connect_raw(const fs::path& socket)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The server closed its end: reading gives end of file (or a reset), after
// any answer it wrote first, which goes to `answers`.
bool closed_by_server(int fd, std::string* answers = nullptr)
{
    for (;;) {
        char c;
        const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 1) {
            if (answers)
                *answers += c;
            continue;
        }
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

// Runs `work` on a thread of its own, as another process would, while this
// thread's events run the instance; its result.
template <typename Work>
auto from_another_process(Work work)
{
    auto done = std::async(std::launch::async, std::move(work));
    while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        pump_for(2);
    return done.get();
}

// acquire_at from another thread: for a process that must not become the
// instance (it would listen from that thread).
SingleInstance::Role forwarded_by_another(const platform::InstancePlace& place, std::vector<std::string> urls,
    std::chrono::milliseconds patience = platform::LOCK_PATIENCE)
{
    return from_another_process([&] {
        SingleInstance::Role role;
        const auto instance = SingleInstance::acquire_at(place, urls, role, patience);
        EXPECT_FALSE(instance) << "a second instance";
        return role;
    });
}

void send_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pump_for(1);
            continue;
        }
        if (n <= 0)
            return; // dropped by the server
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

struct Primary {
    TempDir dir;
    platform::InstancePlace place = *platform::instance_place_in(dir.path(), dir.path() / "cache", dir.path() / "tmp");
    std::unique_ptr<SingleInstance> instance;
    std::vector<std::vector<std::string>> received;
    // Confirmations held back while `hold` is set, for the test to give.
    bool hold = false;
    std::vector<std::function<void(platform::Links)>> held;

    Primary()
    {
        SingleInstance::Role role;
        instance = SingleInstance::acquire_at(place, {}, role);
        EXPECT_EQ(role, SingleInstance::Role::Primary);
        if (instance)
            instance->on_urls([this](std::vector<std::string> urls, std::function<void(platform::Links)> taken) {
                received.push_back(std::move(urls));
                if (hold)
                    held.push_back(std::move(taken));
                else
                    taken(platform::Links::Known);
            });
    }
    fs::path socket() const { return place.socket; }
};

} // namespace

TEST(UrlScheme, SchemeArgumentsAndRequestsWithinBounds)
{
    EXPECT_EQ(platform::scheme_urls({ "vistrope", "vistrope://pin", "--selftest", "VISTROPE://x", "http://pin" }),
        (std::vector<std::string> { "vistrope://pin", "VISTROPE://x" }));
    EXPECT_EQ(platform::scheme_urls({ "vistrope", "vistrope://a\nvistrope://b\r\n" }),
        std::vector<std::string> { "vistrope://a%0Avistrope://b%0D%0A" }) << "one URL stays one URL";

    // Requests arrive in pieces of any size.
    RequestReader reader;
    const std::string sent = "vistrope://a\nvistrope://b\n\nvistrope://c\n\n\n";
    std::vector<platform::Request> got;
    for (char c : sent)
        for (auto& r : reader.feed(std::string_view(&c, 1)))
            got.push_back(std::move(r));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].urls, (std::vector<std::string> { "vistrope://a", "vistrope://b" }));
    EXPECT_EQ(got[1].urls, (std::vector<std::string> { "vistrope://c" }));
    EXPECT_TRUE(got[2].urls.empty()) << "a start without URLs is a request of its own";

    // At most 64 URLs a request are kept; the next request starts afresh.
    std::string crowd;
    for (int i = 0; i < 1000; ++i)
        crowd += "vistrope://pin\n";
    auto crowded = reader.feed(crowd + "\nvistrope://capture-area\n\n");
    ASSERT_EQ(crowded.size(), 2u);
    EXPECT_EQ(crowded[0].urls.size(), RequestReader::MAX_URLS);
    EXPECT_EQ(crowded[0].dropped, 1000 - RequestReader::MAX_URLS);
    EXPECT_EQ(crowded[1].urls, std::vector<std::string> { "vistrope://capture-area" });

    // A request of exactly 64 KiB passes; one byte more ends the connection,
    // whether or not it ever sends a line break.
    RequestReader exact;
    const std::string line(RequestReader::MAX_REQUEST_BYTES - 2, 'x');
    EXPECT_EQ(exact.feed(line + "\n\n").size(), 1u);
    EXPECT_FALSE(exact.overflowed());
    RequestReader flood;
    const std::string mebibyte(1 << 20, 'x');
    EXPECT_TRUE(flood.feed(mebibyte).empty());
    EXPECT_TRUE(flood.overflowed());
    EXPECT_TRUE(flood.feed("\n\n").empty()) << "nothing is served after an overflow";
}

TEST(UrlScheme, ExecQuotesOnlyWhereThePathNeedsIt)
{
    // Plain paths stay bare: launchers that split by blanks (xdg-open without
    // a desktop) would otherwise run a program named "/usr/bin/vistrope".
    for (const char* plain : { "/usr/bin/vistrope", "/opt/Vistrope-1.2/bin/vistrope", "/home/ana/.local/bin/vis_trope+x=y,z@w" })
        EXPECT_EQ(platform::desktop_exec_argument(plain), plain);
    EXPECT_EQ(platform::desktop_exec_argument("/tmp/100%"), "/tmp/100%%");
    // Each reserved character quotes the whole argument.
    for (const char c : std::string_view(" \t\n\"'\\><~|&;$*?#()`")) {
        const std::string path = std::string("/opt/a") + c + "b/vistrope";
        const std::string shown = platform::desktop_exec_argument(path);
        EXPECT_TRUE(shown.starts_with('"') && shown.ends_with('"')) << shown;
    }
    EXPECT_EQ(platform::desktop_exec_argument("/opt/my apps/vistrope"), "\"/opt/my apps/vistrope\"");
    EXPECT_EQ(platform::desktop_exec_argument(""), "\"\"");
}

TEST(UrlScheme, DesktopRegistrationSurvivesOddMimeappsFiles)
{
    const std::string entry = platform::desktop_entry("/opt/my \"apps\" 100%/vistrope");
    EXPECT_NE(entry.find("MimeType=x-scheme-handler/vistrope;"), std::string::npos);
    // Exec quoting (\" and %%), then the string escape of the file (\\).
    EXPECT_NE(entry.find("Exec=\"/opt/my \\\\\"apps\\\\\" 100%%/vistrope\" %u"), std::string::npos) << entry;

    TempDir dir;
    ScopedEnv data("XDG_DATA_HOME", (dir.path() / "data").string());
    ScopedEnv conf("XDG_CONFIG_HOME", (dir.path() / "conf").string());
    const fs::path mimeapps = dir.path() / "conf/mimeapps.list";
    write_file(mimeapps, "[Default Applications]\ntext/plain=ed.desktop\nx-scheme-handler/vistrope=old.desktop\n[Added Associations]\na=b\n");
    ASSERT_TRUE(platform::install_desktop_entry("/usr/bin/vistrope"));
    EXPECT_NE(read_file(dir.path() / "data/applications/vistrope.desktop").find("Exec=/usr/bin/vistrope %u\n"), std::string::npos);
    EXPECT_EQ(read_file(mimeapps),
        "[Default Applications]\ntext/plain=ed.desktop\nx-scheme-handler/vistrope=vistrope.desktop\n[Added Associations]\na=b\n");

    // CRLF lines are lines: the group is found, not added a second time.
    write_file(mimeapps, "[Default Applications]\r\ntext/plain=ed.desktop\r\n");
    ASSERT_TRUE(platform::install_desktop_entry("/usr/bin/vistrope"));
    EXPECT_EQ(read_file(mimeapps), "[Default Applications]\r\ntext/plain=ed.desktop\r\nx-scheme-handler/vistrope=vistrope.desktop\r\n");

    // A link is written through, and the file keeps its mode.
    fs::remove(mimeapps);
    const fs::path real = dir.path() / "dotfiles/mimeapps.list";
    write_file(real, "[Added Associations]\na=b\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(real, mimeapps);
    ASSERT_TRUE(platform::install_desktop_entry("/usr/bin/vistrope"));
    EXPECT_TRUE(fs::is_symlink(mimeapps));
    EXPECT_EQ(read_file(real), "[Added Associations]\na=b\n[Default Applications]\nx-scheme-handler/vistrope=vistrope.desktop\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A folder in its place is a failed registration, reported, and left alone.
    fs::remove(mimeapps);
    fs::create_directories(mimeapps / "inside");
    auto failed = platform::install_desktop_entry("/usr/bin/vistrope");
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().find("mimeapps.list"), std::string::npos) << failed.error();
    EXPECT_TRUE(fs::is_directory(mimeapps / "inside"));
    for (const auto& e : fs::directory_iterator(mimeapps.parent_path()))
        EXPECT_EQ(e.path().filename(), "mimeapps.list") << "no temporary left behind";
}

TEST(UrlScheme, WithoutARuntimeFolderTheSocketLivesWhereNoOtherUserCanGoFirst)
{
    TempDir dir;
    const auto mine = dir.path() / "mine";
    ASSERT_EQ(platform::private_directory(mine), mine);
    EXPECT_EQ(fs::status(mine).permissions() & fs::perms::all, fs::perms::owner_all);
    // A folder others may enter, or a link in its place, is refused.
    const auto open_to_all = dir.path() / "open";
    fs::create_directory(open_to_all);
    fs::permissions(open_to_all, fs::perms::all);
    EXPECT_FALSE(platform::private_directory(open_to_all));
    const auto link = dir.path() / "link";
    fs::create_directory_symlink(mine, link);
    EXPECT_FALSE(platform::private_directory(link));

    // Another user made the old fixed name first; it does not matter any more.
    const fs::path tmp = dir.path() / "tmp";
    fs::create_directories(tmp / fmt::format("vistrope-{}", ::getuid()));
    fs::permissions(tmp / fmt::format("vistrope-{}", ::getuid()), fs::perms::all);
    const auto place = platform::instance_place_in(std::nullopt, dir.path() / "cache", tmp);
    ASSERT_TRUE(place);
    EXPECT_EQ(place->lock.parent_path(), place->name_file.parent_path());
    EXPECT_TRUE(platform::private_directory(place->lock.parent_path()));
    fs::permissions(place->lock.parent_path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_TRUE(platform::instance_place_in(std::nullopt, dir.path() / "cache", tmp)) << "our own folder is tightened";
    EXPECT_EQ(fs::status(place->lock.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

    EXPECT_FALSE(place->socket_path(false)) << "nothing is named before the instance makes it";
    const auto first = place->socket_path(true);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->filename(), "vistrope.sock");
    EXPECT_EQ(first->parent_path().parent_path(), tmp);
    EXPECT_NE(first->parent_path().filename(), fmt::format("vistrope-{}", ::getuid()));
    EXPECT_TRUE(platform::private_directory(first->parent_path()));
    EXPECT_EQ(place->socket_path(false), first) << "a forwarding process finds the same socket";
    EXPECT_EQ(place->socket_path(true), first) << "a restarted instance keeps it";

    // A named folder opened to others, or one outside the temporary folder,
    // is not trusted: forwarders find nothing, the instance makes a new one.
    fs::permissions(first->parent_path(), fs::perms::all);
    EXPECT_FALSE(place->socket_path(false));
    const auto second = place->socket_path(true);
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    write_file(place->name_file, mine.string() + "\n");
    EXPECT_FALSE(place->socket_path(false));

    // With a private runtime folder the socket has its fixed place there; a
    // missing one is no place for the lock.
    const auto missing = platform::instance_place_in(dir.path() / "run", dir.path() / "cache", tmp);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->lock, place->lock);
    ASSERT_TRUE(platform::private_directory(dir.path() / "run"));
    const auto runtime = platform::instance_place_in(dir.path() / "run", dir.path() / "cache", tmp);
    ASSERT_TRUE(runtime);
    EXPECT_EQ(runtime->socket_path(false), dir.path() / "run/vistrope.sock");
}

TEST(SingleInstance, ForwardsToTheLockHolderAndNeverBecomesASecondOne)
{
    Primary primary;
    ASSERT_TRUE(primary.instance);
    EXPECT_EQ(forwarded_by_another(primary.place, { "vistrope://pin", "vistrope://x\x1b[2J" }), SingleInstance::Role::Forwarded);
    ASSERT_EQ(primary.received.size(), 1u) << "taken means acted on";
    EXPECT_EQ(primary.received[0], (std::vector<std::string> { "vistrope://pin", "vistrope://x\x1b[2J" }));

    // The instance's socket is gone, but it still holds the lock: a new
    // process gives up rather than capture on its own.
    fs::remove(primary.socket());
    SingleInstance::Role role;
    EXPECT_FALSE(SingleInstance::acquire_at(primary.place, { "vistrope://pin" }, role, std::chrono::milliseconds(300)));
    EXPECT_EQ(role, SingleInstance::Role::Refused);

    // Once it has gone, the next process is the instance.
    primary.instance.reset();
    auto next = SingleInstance::acquire_at(primary.place, {}, role);
    EXPECT_EQ(role, SingleInstance::Role::Primary);
    EXPECT_TRUE(next && next->listening());
}

TEST(SingleInstance, IdleConnectionsCannotUseUpTheDescriptors)
{
    Primary primary;
    ASSERT_TRUE(primary.instance);
    const size_t base = open_descriptors();
    std::vector<int> clients;
    for (int attempt = 0; attempt < 3000 && clients.size() < 300; ++attempt) {
        const int fd = connect_raw(primary.socket());
        if (fd >= 0)
            clients.push_back(fd);
        else
            pump_for(1); // the backlog is full until the server accepts
    }
    pump_for(200);
    ASSERT_EQ(clients.size(), 300u);
    const size_t held = open_descriptors() - base - clients.size();
    EXPECT_LE(held, static_cast<size_t>(SingleInstance::MAX_CONNECTIONS) + 2);

    // Silent ones are dropped after two seconds; the instance still serves.
    // (The toolkit may open a descriptor of its own on first use.)
    EXPECT_TRUE(wait_until([&] { return open_descriptors() - clients.size() <= base + 2; }, 10000))
        << open_descriptors() - clients.size() << " open against " << base << " before";
    // Those past the limit were told so before the close; the silent ones
    // within it heard nothing.
    size_t dropped = 0;
    std::string answers;
    for (int fd : clients) {
        dropped += closed_by_server(fd, &answers);
        ::close(fd);
    }
    EXPECT_EQ(dropped, clients.size());
    EXPECT_EQ(answers, std::string(clients.size() - SingleInstance::MAX_CONNECTIONS, platform::ANSWER_BUSY));
    EXPECT_TRUE(primary.instance->listening());
    EXPECT_EQ(forwarded_by_another(primary.place, { "vistrope://capture-area" }), SingleInstance::Role::Forwarded);
    ASSERT_FALSE(primary.received.empty());
    EXPECT_EQ(primary.received.back(), std::vector<std::string> { "vistrope://capture-area" });
}

TEST(SingleInstance, FloodedAndCrowdedRequestsAreBounded)
{
    Primary primary;
    ASSERT_TRUE(primary.instance);

    const int flood = connect_raw(primary.socket());
    ASSERT_GE(flood, 0);
    send_all(flood, std::string(1 << 20, 'x'));
    std::string answers;
    EXPECT_TRUE(wait_until([&] { return closed_by_server(flood, &answers); }));
    EXPECT_EQ(answers, std::string(1, platform::ANSWER_TOO_LARGE));
    ::close(flood);

    const int crowd = connect_raw(primary.socket());
    ASSERT_GE(crowd, 0);
    std::string urls;
    for (int i = 0; i < 1000; ++i)
        urls += "vistrope://pin\n";
    send_all(crowd, urls + "\n");
    ASSERT_TRUE(wait_until([&] { return !primary.received.empty(); }));
    ::close(crowd);
    pump_for(100);
    ASSERT_EQ(primary.received.size(), 1u) << "the flood must not have become a request";
    EXPECT_EQ(primary.received[0].size(), RequestReader::MAX_URLS);
}

TEST(SingleInstance, ListensAgainWhenAcceptingFails)
{
    Primary primary;
    ASSERT_TRUE(primary.instance);
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));

    // Out of descriptors: every free number below the limit is taken, so the
    // server's accept fails and the toolkit closes the server.
    rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
        low.rlim_cur = std::max<rlim_t>(low.rlim_cur, std::stoul(entry.path().filename().string()) + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, primary.socket().c_str(), sizeof addr.sun_path - 1);
    for (int fd : clients)
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const bool stopped = wait_until([&] { return !primary.instance->listening(); }, 3000);
    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &old);
    for (int fd : clients)
        ::close(fd);
    ASSERT_TRUE(stopped) << "the toolkit kept listening; the fault cannot be shown here";

    EXPECT_TRUE(wait_until([&] { return primary.instance->listening(); }, 5000));
    EXPECT_EQ(forwarded_by_another(primary.place, { "vistrope://pin" }), SingleInstance::Role::Forwarded);
    EXPECT_EQ(primary.received.size(), 1u);

    // A socket file taken away by a cleaner comes back as well.
    fs::remove(primary.socket());
    EXPECT_TRUE(wait_until([&] { return fs::exists(primary.socket()); }, 5000));
    EXPECT_EQ(forwarded_by_another(primary.place, { "vistrope://capture-area" }), SingleInstance::Role::Forwarded);
    EXPECT_EQ(primary.received.size(), 2u);
}

// A request is answered once the instance has acted on it, in requests the
// reader accepts; an instance that is ending takes nothing more, and a launch
// meanwhile waits for its lock rather than hand the links into it.
TEST(SingleInstance, LinksAreTakenOnlyOnceActedOnAndAnEndingInstanceTakesNone)
{
    using platform::Handover;
    using namespace std::chrono_literals;
    Primary primary;
    ASSERT_TRUE(primary.instance);

    primary.hold = true;
    auto sender = std::async(std::launch::async, [&] { return platform::forward_urls(primary.socket(), { "vistrope://pin" }, 10s); });
    ASSERT_TRUE(wait_until([&] { return primary.held.size() == 1; })) << "the request never reached the handler";
    pump_for(100);
    EXPECT_EQ(sender.wait_for(0ms), std::future_status::timeout) << "answered before the links were acted on";
    primary.held[0](platform::Links::Known);
    const Handover one = from_another_process([&] { return sender.get(); });
    EXPECT_EQ(one.outcome, Handover::Outcome::Taken) << one.why;
    EXPECT_EQ(one.taken, 1u);

    // More links than one request keeps: requests of 64, each answered.
    primary.hold = false;
    primary.received.clear();
    std::vector<std::string> many;
    for (int i = 0; i < 100; ++i)
        many.push_back(fmt::format("vistrope://pin/{}", i));
    const Handover all = from_another_process([&] { return platform::forward_urls(primary.socket(), many, 10s); });
    EXPECT_EQ(all.outcome, Handover::Outcome::Taken) << all.why;
    EXPECT_EQ(all.taken, 100u);
    ASSERT_EQ(primary.received.size(), 2u);
    EXPECT_EQ(primary.received[0].size(), RequestReader::MAX_URLS);
    EXPECT_EQ(primary.received[1].back(), "vistrope://pin/99");

    // A link no request can hold is not sent; the links before it are taken.
    EXPECT_TRUE(platform::fits_in_request(std::string(RequestReader::MAX_REQUEST_BYTES - 2, 'x')));
    EXPECT_FALSE(platform::fits_in_request(std::string(RequestReader::MAX_REQUEST_BYTES - 1, 'x')));
    primary.received.clear();
    const Handover huge = from_another_process([&] {
        return platform::forward_urls(primary.socket(), { "vistrope://pin", std::string(RequestReader::MAX_REQUEST_BYTES, 'x') }, 10s);
    });
    EXPECT_EQ(huge.outcome, Handover::Outcome::Refused);
    EXPECT_EQ(huge.taken, 1u);
    EXPECT_NE(huge.why.find("64 KB"), std::string::npos) << huge.why;
    EXPECT_EQ(primary.received, (std::vector<std::vector<std::string>> { { "vistrope://pin" } }));

    // Quitting begins: a connection made before sends its request after, and
    // one request is still being acted on.
    primary.received.clear();
    primary.held.clear();
    primary.hold = true;
    const int early = connect_raw(primary.socket());
    ASSERT_GE(early, 0);
    auto pending = std::async(std::launch::async, [&] { return platform::forward_urls(primary.socket(), { "vistrope://capture-area" }, 30s); });
    ASSERT_TRUE(wait_until([&] { return primary.held.size() == 1; }));
    primary.instance->stop_taking();
    EXPECT_FALSE(primary.instance->listening());
    EXPECT_FALSE(fs::exists(primary.socket())) << "the socket file stays for others to find";
    send_all(early, "vistrope://pin\n\n");
    std::string answers;
    EXPECT_TRUE(wait_until([&] { return closed_by_server(early, &answers); })) << "the early connection was kept";
    ::close(early);
    EXPECT_EQ(answers, "") << "an ending instance answered";
    EXPECT_EQ(primary.received.size(), 1u) << "an ending instance took a request";
    const Handover late = from_another_process([&] { return platform::forward_urls(primary.socket(), { "vistrope://pin" }, 1s); });
    EXPECT_EQ(late.outcome, Handover::Outcome::Unanswered);

    // A launch now waits for the lock, and finds it free once the instance
    // has gone; the request never confirmed is learnt as not taken.
    auto launch = std::async(std::launch::async, [&] { return platform::reach_instance(primary.place, { "vistrope://pin" }, 10s, false); });
    pump_for(200);
    EXPECT_EQ(launch.wait_for(0ms), std::future_status::timeout) << "the launch did not wait for the ending instance";
    primary.instance.reset();
    const platform::Arrival arrival = from_another_process([&] { return launch.get(); });
    EXPECT_EQ(arrival.kind, platform::Arrival::Kind::LockFree) << arrival.why;
    EXPECT_EQ(arrival.taken, 0u);
    const Handover unconfirmed = from_another_process([&] { return pending.get(); });
    EXPECT_EQ(unconfirmed.outcome, Handover::Outcome::Unanswered) << unconfirmed.why;
    EXPECT_EQ(unconfirmed.taken, 0u);
}

// An instance that runs on but refuses is asked once more, then the launch
// says why; one that never answers is not sent the links a second time,
// since they may yet be taken.
TEST(SingleInstance, ARefusalIsRetriedOnceAndASilentInstanceIsNotSentTwice)
{
    using namespace std::chrono_literals;
    Primary primary;
    ASSERT_TRUE(primary.instance);
    std::vector<int> crowd;
    while (crowd.size() < static_cast<size_t>(SingleInstance::MAX_CONNECTIONS)) {
        const int fd = connect_raw(primary.socket());
        ASSERT_GE(fd, 0);
        crowd.push_back(fd);
    }
    pump_for(50);
    const auto started = std::chrono::steady_clock::now();
    const platform::Arrival refused = from_another_process([&] { return platform::reach_instance(primary.place, { "vistrope://pin" }, 10s, false); });
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(refused.kind, platform::Arrival::Kind::Failed);
    EXPECT_NE(refused.why.find("demasiadas conexiones"), std::string::npos) << refused.why;
    EXPECT_GE(took, 1s) << "refused without asking again after a pause";
    EXPECT_TRUE(primary.received.empty());
    for (int fd : crowd)
        ::close(fd);
    EXPECT_EQ(forwarded_by_another(primary.place, { "vistrope://pin" }), SingleInstance::Role::Forwarded);
    EXPECT_EQ(primary.received.size(), 1u);

    // A lock holder whose socket takes requests and never answers.
    TempDir dir;
    ASSERT_TRUE(platform::private_directory(dir.path() / "run"));
    const auto place = platform::instance_place_in(dir.path() / "run", dir.path() / "cache", dir.path() / "tmp");
    ASSERT_TRUE(place);
    const int lock = ::open(place->lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, place->socket.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(silent, 8), 0);
    const platform::Arrival unknown = platform::reach_instance(*place, { "vistrope://pin" }, 300ms, false);
    EXPECT_EQ(unknown.kind, platform::Arrival::Kind::Failed);
    EXPECT_NE(unknown.why.find("no confirmó"), std::string::npos) << unknown.why;
    int connections = 0;
    for (int fd; (fd = ::accept4(silent, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0; ::close(fd))
        ++connections;
    EXPECT_EQ(connections, 1) << "the links went twice";
    ::close(silent);
    ::close(lock);
}

// A runtime folder deep enough that the socket's path passes the 107 bytes a
// Unix socket address holds: the instance and a launch both take the short
// private place, and the link is taken.
TEST(SingleInstance, ARuntimeFolderTooLongForASocketAddressStillTakesLinks)
{
    using namespace std::chrono_literals;
    TempDir dir;
    std::string run = dir.path().string() + "/";
    run += std::string(140 - run.size(), 'r');
    ASSERT_EQ(run.size(), 140u);
    ASSERT_TRUE(platform::private_directory(run));
    fs::create_directories(dir.path() / "tmp");
    const auto place = platform::instance_place_in(fs::path(run), dir.path() / "cache", dir.path() / "tmp");
    ASSERT_TRUE(place);
    EXPECT_TRUE(place->socket.empty()) << place->socket;

    SingleInstance::Role role;
    const auto instance = SingleInstance::acquire_at(*place, {}, role);
    ASSERT_EQ(role, SingleInstance::Role::Primary);
    ASSERT_TRUE(instance && instance->listening());
    std::vector<std::string> received;
    instance->on_urls([&](std::vector<std::string> urls, std::function<void(platform::Links)> taken) {
        received.insert(received.end(), urls.begin(), urls.end());
        taken(platform::Links::Known);
    });
    // Found again from the runtime folder alone, as a launch finds it.
    const auto found = platform::instance_place_in(fs::path(run), dir.path() / "cache", dir.path() / "tmp");
    ASSERT_TRUE(found);
    EXPECT_EQ(forwarded_by_another(*found, { "vistrope://pin" }, 3s), SingleInstance::Role::Forwarded);
    EXPECT_EQ(received, std::vector<std::string> { "vistrope://pin" });
}
