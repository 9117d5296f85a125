// The update check's course on scripted services: which answer leads to
// which alert, offer, download and opening; and the SHA-256 it trusts.
#include "settings/updater.h"

#include "base/config.h"
#include "base/state.h"
#include "platform/digest.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

using namespace testing_support;

namespace {

// FIPS 180-2, appendix B.
TEST(Digest, Sha256OfTheStandardsMessagesInMemoryAndOnDisk)
{
    EXPECT_EQ(platform::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(platform::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(platform::sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    TempDir dir;
    // A million "a": more than one read block, so blocks must chain.
    write_file(dir.path() / "a", std::string(1'000'000, 'a'));
    EXPECT_EQ(platform::sha256_file(dir.path() / "a").value(),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    write_file(dir.path() / "big", std::string(3 * 1024 * 1024 + 7, 'a'));
    EXPECT_EQ(platform::sha256_file(dir.path() / "big").value(), platform::sha256_hex(std::string(3 * 1024 * 1024 + 7, 'a')));
    EXPECT_EQ(platform::sha256_file(dir.path() / "missing").error().rfind("no pude abrir ", 0), 0U);
    EXPECT_FALSE(platform::sha256_file(dir.path())) << "a folder cannot be read";
}

// The real runner stops a file past its cap, whether or not its size was
// announced: a download that never ends cannot fill the disk.
TEST(UpdaterCurl, TheRealRunnerStopsAFilePastItsCap)
{
    TempDir dir;
    write_file(dir.path() / "big", std::string(100'000, 'x'));
    const std::string from = "file://" + (dir.path() / "big").string();
    const auto get = [&](long long cap, const std::string& out) {
        return updater::curl_runner(cap)({ "-fsS", "-o", (dir.path() / out).string(), "--", from }, std::chrono::seconds(20));
    };
    auto small = get(4096, "small");
    ASSERT_TRUE(small) << small.error();
    EXPECT_FALSE(small->succeeded());
    EXPECT_LE(std::filesystem::file_size(dir.path() / "small"), 4096U);
    auto whole = get(1 << 20, "whole");
    ASSERT_TRUE(whole) << whole.error();
    EXPECT_TRUE(whole->succeeded()) << whole->standard_error;
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "whole"), 100'000U);
}

class Updater : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        set_feed("https://h.example/feed/appcast.json");
        updater::reset_services();
        auto& s = updater::services();
        s.curl = [this](const std::vector<std::string>& args, std::chrono::milliseconds) {
            m_curl_calls.push_back(args);
            platform::ProcessResult r;
            r.exit_status = m_status;
            for (size_t i = 0; i + 1 < args.size(); ++i)
                if (args[i] == "-o") {
                    write_file(args[i + 1], "paquete");
                    r.exit_status = 0;
                    return std::expected<platform::ProcessResult, std::string>(r);
                }
            r.standard_output = m_feed;
            r.standard_error = "curl: (6) Could not resolve host";
            return std::expected<platform::ProcessResult, std::string>(r);
        };
        s.download_folder = [this] { return m_home.path() / "Descargas"; };
        s.open_path = [this](const std::string& p, std::function<void(const std::string&)> failed) {
            m_opened.push_back(p);
            if (m_no_opener)
                m_jobs.push_back([failed] { failed("no pude abrir: no hay ninguna aplicación para abrirlo"); });
        };
        s.alert = [this](const std::string& m, const std::string& i) { m_alerts.push_back(m + " | " + i); };
        s.alert_with_folder = [this](const std::string& m, const std::string& i) {
            m_alerts.push_back(m + " | " + i + " | Mostrar en la carpeta");
            return m_show_folder;
        };
        s.reveal = [this](const std::filesystem::path& f, std::function<void(const std::string&)> failed) {
            m_revealed.push_back(f.string());
            if (m_no_file_manager)
                failed("no pude abrir " + f.parent_path().string() + ": no hay ninguna aplicación para abrirlo");
        };
        s.toast = [this](const std::string& t) { m_toasts.push_back(t); };
        s.ask = [this](const updater::Offer& o) {
            m_offers.push_back(o.message + " | " + o.informative);
            return m_accept;
        };
        s.in_background = [this](std::function<void()> job) { m_jobs.push_back(std::move(job)); };
        s.on_main = [this](std::function<void()> job) { m_jobs.push_back(std::move(job)); };
    }
    void TearDown() override
    {
        updater::reset_services();
        state::reset_for_tests();
    }
    void set_feed(std::string url)
    {
        auto c = std::make_shared<config::Config>(*state::config());
        c->update_feed = std::move(url);
        state::set_config(c);
    }
    // Runs queued background and main jobs, in order, until none is left.
    void settle()
    {
        for (size_t i = 0; i < m_jobs.size(); ++i) {
            auto job = std::move(m_jobs[i]);
            job();
        }
        m_jobs.clear();
    }

    TempHome m_home;
    std::vector<std::vector<std::string>> m_curl_calls;
    std::vector<std::string> m_alerts, m_offers, m_opened, m_toasts, m_revealed;
    bool m_no_opener = false;
    bool m_show_folder = false;
    bool m_no_file_manager = false;
    std::vector<std::function<void()>> m_jobs;
    std::string m_feed;
    int m_status = 0;
    bool m_accept = true;
};

TEST_F(Updater, SwitchedOffFeedOnlyAnswersWhenAsked)
{
    set_feed("");
    updater::check(false);
    settle();
    EXPECT_TRUE(m_alerts.empty());
    EXPECT_FALSE(std::filesystem::exists(updater::stamp_path())) << "an automatic check leaves the stamp alone";
    updater::check(true);
    settle();
    EXPECT_EQ(m_alerts, std::vector<std::string>{ "Las actualizaciones están desactivadas | Agrega `update_feed` en la configuración." });
    EXPECT_TRUE(m_curl_calls.empty());
}

TEST_F(Updater, AutomaticCheckRunsOnceADayAndStampsEveryAttempt)
{
    std::filesystem::create_directories(updater::stamp_path().parent_path());
    m_status = 6; // unreachable
    updater::check_in_background();
    settle();
    EXPECT_EQ(m_curl_calls.size(), 1U);
    EXPECT_TRUE(m_alerts.empty()) << "an automatic check only logs";
    ASSERT_TRUE(std::filesystem::exists(updater::stamp_path())) << "stamped even when the fetch failed";
    EXPECT_EQ(std::filesystem::file_size(updater::stamp_path()), 0U);

    updater::check_in_background();
    settle();
    EXPECT_EQ(m_curl_calls.size(), 1U) << "a fresh stamp holds the next automatic check back";

    std::filesystem::last_write_time(updater::stamp_path(),
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(25));
    updater::check_in_background();
    settle();
    EXPECT_EQ(m_curl_calls.size(), 2U);

    // Asked by hand, the same failure is shown.
    updater::check(true);
    settle();
    EXPECT_EQ(m_alerts, std::vector<std::string>{ "No pude buscar actualizaciones | Sin conexión con h.example" });
}

TEST_F(Updater, NewerVersionIsOfferedDownloadedVerifiedAndOpened)
{
    const std::string sum = platform::sha256_hex("paquete");
    m_feed = R"({"version":"0.2.0","url":"./Vistrope.deb","notes":"Arreglos","sha256":")" + sum + R"("})";
    updater::check(false);
    settle();
    ASSERT_EQ(m_offers, std::vector<std::string>{ "Vistrope 0.2.0 ya está disponible | Tienes la versión 0.1.3.\n\nArreglos" });
    ASSERT_EQ(m_curl_calls.size(), 2U);
    EXPECT_EQ(m_curl_calls[1].back(), "https://h.example/feed/Vistrope.deb");
    const auto installer = m_home.path() / "Descargas/Vistrope-0.2.0.deb";
    EXPECT_EQ(m_opened, std::vector<std::string>{ installer.string() });
    EXPECT_EQ(read_file(installer), "paquete");
    EXPECT_TRUE(m_alerts.empty());
    EXPECT_EQ(m_toasts, std::vector<std::string>{ "Descargado en Descargas" });

    // Declined: nothing is fetched.
    m_accept = false;
    updater::check(true);
    settle();
    EXPECT_EQ(m_curl_calls.size(), 3U);
    EXPECT_EQ(m_opened.size(), 1U);

    // A wrong digest: the alert, and only the earlier installer remains.
    m_accept = true;
    m_feed = R"({"version":"0.3.0","url":"./Vistrope.deb","sha256":")" + std::string(64, '0') + R"("})";
    updater::check(true);
    settle();
    EXPECT_EQ(m_alerts.back(), "La descarga falló | la firma SHA-256 del instalador no coincide; lo borré por seguridad");
    EXPECT_EQ(m_opened.size(), 1U);
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(m_home.path() / "Descargas"))
        ++files;
    EXPECT_EQ(files, 1U);

    // No program opens a package: the alert says where it is and offers its folder.
    m_no_opener = true;
    m_alerts.clear();
    m_feed = R"({"version":"0.2.0","url":"./Vistrope.deb","sha256":")" + sum + R"("})";
    updater::check(true);
    settle();
    EXPECT_EQ(m_alerts, std::vector<std::string>{
        "Descargado en Descargas | Ningún programa abrió Vistrope-0.2.0.deb. Instálalo desde su carpeta. | Mostrar en la carpeta" });
    EXPECT_TRUE(m_revealed.empty()) << "«Aceptar» shows nothing";

    // «Mostrar en la carpeta» with no file manager and no opener: said, with the folder.
    m_show_folder = true;
    m_no_file_manager = true;
    m_alerts.clear();
    updater::check(true);
    settle();
    EXPECT_EQ(m_revealed, std::vector<std::string>{ installer.string() });
    ASSERT_EQ(m_alerts.size(), 2U);
    EXPECT_EQ(m_alerts[1], "No pude mostrar la carpeta | no pude abrir " + installer.parent_path().string()
        + ": no hay ninguna aplicación para abrirlo.\n\nEl instalador está en " + installer.parent_path().string());
}

TEST_F(Updater, AFeedDigestInCapitalsNamesTheSameInstaller)
{
    std::string sum = platform::sha256_hex("paquete");
    std::transform(sum.begin(), sum.end(), sum.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    ASSERT_NE(sum, platform::sha256_hex("paquete"));
    m_feed = R"({"version":"0.2.0","url":"./Vistrope.deb","sha256":")" + sum + R"("})";
    updater::check(true);
    settle();
    const auto installer = m_home.path() / "Descargas/Vistrope-0.2.0.deb";
    EXPECT_TRUE(m_alerts.empty()) << m_alerts.front();
    EXPECT_EQ(m_opened, std::vector<std::string>{ installer.string() });
    EXPECT_EQ(read_file(installer), "paquete");
}

TEST_F(Updater, SameOrOlderVersionAnswersOnlyWhenAsked)
{
    m_feed = R"({"version":"v0.1.3","url":"x"})";
    updater::check(false);
    settle();
    EXPECT_TRUE(m_alerts.empty());
    updater::check(true);
    settle();
    EXPECT_EQ(m_alerts, std::vector<std::string>{ "Tienes la versión más reciente | Vistrope 0.1.3 está al día." });
    EXPECT_TRUE(m_offers.empty());

    set_feed("http://h.example/appcast.json");
    updater::check(true);
    settle();
    EXPECT_EQ(m_alerts.back(), "No pude buscar actualizaciones | la dirección no es https: http://h.example/appcast.json");
}

TEST_F(Updater, ANewerFeedWithoutAnHttpsInstallerAndItsDigestIsNotOffered)
{
    const std::string sum = platform::sha256_hex("paquete");
    const std::pair<std::string, std::string> feeds[] = {
        { R"({"version":"0.2.0","url":"./Vistrope.deb"})", "el appcast no trae sha256 del instalador" },
        { R"({"version":"0.2.0","url":"./Vistrope.deb","sha256":"abc"})", "el sha256 del appcast no es válido: «abc»" },
        { R"({"version":"0.2.0","url":"http://h.example/Vistrope.deb","sha256":")" + sum + R"("})",
            "la dirección no es https: http://h.example/Vistrope.deb" },
    };
    for (const auto& [feed, why] : feeds) {
        m_feed = feed;
        updater::check(true);
        settle();
        EXPECT_EQ(m_alerts.back(), "No pude buscar actualizaciones | " + why);
    }
    EXPECT_TRUE(m_offers.empty());
    EXPECT_EQ(m_curl_calls.size(), 3U) << "only the feeds were fetched";
}

} // namespace
