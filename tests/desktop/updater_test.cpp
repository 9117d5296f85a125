// The update check against a loopback HTTPS server of the test's own, driven
// from the tray menu as a user would: a newer version is offered, "Descargar"
// leaves a verified installer, a wrong digest leaves nothing and says so, a
// redirect to plain http is not followed.
#include "program.h"
#include "qt_wait.h"
#include "platform/digest.h"
#include "test_util.h"

#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <gtest/gtest.h>

#include <cstdlib>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <map>

using namespace testing_support;

namespace {

const std::string INSTALLER = "!<arch>\ndebian-binary   paquete de prueba\n";

// Answers GET requests from a table of paths: body or a redirect.
class Server {
public:
    struct Answer {
        std::string body;
        std::string location; // a 302 when set
    };
    std::map<std::string, Answer> answers;
    std::vector<std::string> requests;

    bool listen(const std::filesystem::path& cert, const std::filesystem::path& key)
    {
        QFile c(QString::fromStdString(cert.string())), k(QString::fromStdString(key.string()));
        if (!c.open(QIODevice::ReadOnly) || !k.open(QIODevice::ReadOnly))
            return false;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(QSslCertificate(&c, QSsl::Pem));
        config.setPrivateKey(QSslKey(&k, QSsl::Rsa, QSsl::Pem));
        m_server.setSslConfiguration(config);
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this] {
            while (auto* socket = static_cast<QSslSocket*>(m_server.nextPendingConnection()))
                serve(socket);
        });
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    int port() const { return m_server.serverPort(); }

private:
    void serve(QSslSocket* socket)
    {
        QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket] {
            m_buffers[socket] += socket->readAll().toStdString();
            const std::string& request = m_buffers[socket];
            if (request.find("\r\n\r\n") == std::string::npos)
                return;
            const size_t start = request.find(' ') + 1;
            const std::string path = request.substr(start, request.find(' ', start) - start);
            requests.push_back(path);
            m_buffers.erase(socket);
            std::string reply;
            if (const auto it = answers.find(path); it == answers.end())
                reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            else if (!it->second.location.empty())
                reply = fmt::format("HTTP/1.1 302 Found\r\nLocation: {}\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                                    it->second.location);
            else
                reply = fmt::format("HTTP/1.1 200 OK\r\nContent-Length: {}\r\nConnection: close\r\n\r\n{}",
                                    it->second.body.size(), it->second.body);
            socket->write(reply.data(), static_cast<qint64>(reply.size()));
            socket->disconnectFromHost();
        });
    }

    QSslServer m_server;
    std::map<QSslSocket*, std::string> m_buffers;
};

// Picks "Buscar actualizaciones…", second from the bottom of the status menu.
bool pick_check_item()
{
    std::optional<Geometry> icon;
    if (!wait_until([&] { return (icon = tray_icon()).has_value(); }, 15000))
        return false;
    // A click while a closing dialog still holds the pointer is lost: click again.
    for (int i = 0; i < 4 && !open_menu(); ++i) {
        run("xdotool", { "mousemove", QString::number(icon->x + icon->w / 2), QString::number(icon->y + icon->h / 2),
                         "click", "1" });
        wait_until([] { return open_menu().has_value(); }, 3000);
    }
    const auto menu = open_menu();
    if (!menu)
        return false;
    // Keys reach the menu once it holds the keyboard. From the bottom: "Salir
    // de Vistrope", then this item.
    pump_for(500);
    for (int i = 0; i < 2; ++i) {
        run("xdotool", { "key", "Up" });
        pump_for(150);
    }
    run("xdotool", { "key", "Return" });
    return wait_until([] { return !open_menu().has_value(); }, 5000);
}

// Asks for a check from the menu until the server sees it: a menu that is
// still settling may drop the click.
void check_for_updates(const Server& server)
{
    const size_t before = server.requests.size();
    for (int attempt = 0; attempt < 3; ++attempt) {
        pick_check_item();
        if (wait_until([&] { return server.requests.size() > before; }, 5000))
            return;
        if (open_menu())
            run("xdotool", { "key", "Escape" });
    }
    ADD_FAILURE() << "the check never reached the server";
}

// The program's dialog (an alert or the offer): neither the tray icon nor a menu.
std::optional<std::string> dialog()
{
    for (const auto& [id, g] : program_windows_by_id())
        if (g.w > 150 && g.w < 900 && g.h > 60 && g.h < 300)
            return id;
    return std::nullopt;
}

std::vector<std::string> names_in(const std::filesystem::path& dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        out.push_back(it->path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

void dismiss(const std::string& id)
{
    run("xdotool", { "windowactivate", "--sync", QString::fromStdString(id) });
    pump_for(150);
    run("xdotool", { "key", "Return" });
}

// A self-signed certificate for 127.0.0.1 in `keys`.
void make_certificate(const std::filesystem::path& keys)
{
    std::filesystem::create_directories(keys);
    QProcess openssl;
    openssl.start("openssl", { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                               "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                               QString::fromStdString((keys / "key.pem").string()), "-out",
                               QString::fromStdString((keys / "cert.pem").string()) });
    ASSERT_TRUE(openssl.waitForFinished(30000));
    ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
}

// Settings that point the check at `feed`, checked a moment ago so the
// automatic check stays out of the way.
void point_at(const std::filesystem::path& home, const std::string& feed)
{
    const auto settings = home / ".config/vistrope/config.toml";
    std::filesystem::create_directories(settings.parent_path());
    write_file(settings, fmt::format("update_feed = \"{}\"\n", feed));
    write_file(settings.parent_path() / "last-update-check", "");
}

} // namespace

TEST(UpdaterDesktop, AnInsecureCurlrcDoesNotTurnTheChecksOffAndLongNotesFitTheScreen)
{
    if (!std::getenv("VISTROPE_OWN_SESSION"))
        GTEST_SKIP() << "runs in a session of its own (UpdaterDesktop.InASessionOfItsOwn)";
    TempHome home;
    const auto keys = home.path() / "tls";
    ASSERT_NO_FATAL_FAILURE(make_certificate(keys));
    Server server;
    ASSERT_TRUE(server.listen(keys / "cert.pem", keys / "key.pem"));
    const std::string base = fmt::format("https://127.0.0.1:{}", server.port());
    std::string notes;
    while (notes.size() < 900'000)
        notes += "Arreglos y mejoras de la versión nueva. ";
    server.answers["/feed/appcast.json"] = { fmt::format(R"({{"version":"0.2.0","url":"./Vistrope.deb","sha256":"{}","notes":"{}"}})",
                                                         platform::sha256_hex(INSTALLER), notes), "" };
    server.answers["/feed/Vistrope.deb"] = { INSTALLER, "" };
    point_at(home.path(), base + "/feed/appcast.json");
    // The user's own curl settings turn certificate checks off; ours stay on.
    write_file(home.path() / ".curlrc", "insecure\n");
    QProcessEnvironment extra;
    extra.insert("CURL_HOME", QString::fromStdString(home.path().string()));
    {
        Program program(home.path(), Program::FirstRun::Done, extra);
        ASSERT_TRUE(program.wait_for("listo")) << program.err();
        std::optional<std::string> alert;
        for (int attempt = 0; attempt < 3 && !alert; ++attempt) {
            pick_check_item();
            wait_until([&] { return (alert = dialog()).has_value(); }, 20000);
        }
        ASSERT_TRUE(alert)
            << program.err() << "\nscreen: " << screenshot("update-curlrc.png");
        pump_for(300);
        // The alert on screen is the one the program says it showed.
        EXPECT_TRUE(program.wait_for("aviso: No pude buscar actualizaciones: ", 5)) << program.err();
        EXPECT_TRUE(server.requests.empty()) << "no request got past the certificate";
        dismiss(*alert);
    }

    // Trusted, with ~900 KB of notes: the offer comes at once, fits the
    // screen, and its default button still answers.
    extra.insert("CURL_CA_BUNDLE", QString::fromStdString((keys / "cert.pem").string()));
    Program program(home.path(), Program::FirstRun::Done, extra);
    ASSERT_TRUE(program.wait_for("listo")) << program.err();
    check_for_updates(server);
    std::optional<Geometry> offer;
    std::string offer_id;
    ASSERT_TRUE(wait_until([&] {
        for (const auto& [id, g] : program_windows_by_id())
            if (g.w > 150 && g.h > 60) {
                offer = g;
                offer_id = id;
                return true;
            }
        return false;
    }, 10000)) << program.err();
    const std::string shot = screenshot("update-long-notes.png");
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_TRUE(screen.contains(QRect(offer->x, offer->y, offer->w, offer->h)))
        << offer->x << "," << offer->y << " " << offer->w << "×" << offer->h << "; screen: " << shot;
    // "Descargar" is the default: Return takes it and the download runs.
    dismiss(offer_id);
    ASSERT_TRUE(wait_until([&] { return program.wait_for("instalador verificado", 0); }, 20000)) << program.err();
}

TEST(UpdaterDesktop, OffersDownloadsVerifiesAndRefusesWhatIsNotHttps)
{
    if (!std::getenv("VISTROPE_OWN_SESSION"))
        GTEST_SKIP() << "runs in a session of its own (UpdaterDesktop.InASessionOfItsOwn)";
    TempHome home;
    const auto keys = home.path() / "tls";
    std::filesystem::create_directories(keys);
    QProcess openssl;
    openssl.start("openssl", { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                               "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                               QString::fromStdString((keys / "key.pem").string()), "-out",
                               QString::fromStdString((keys / "cert.pem").string()) });
    ASSERT_TRUE(openssl.waitForFinished(30000));
    ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();

    Server server;
    ASSERT_TRUE(server.listen(keys / "cert.pem", keys / "key.pem"));
    QTcpServer plain; // where the refused redirect would lead
    ASSERT_TRUE(plain.listen(QHostAddress::LocalHost, 0));
    const std::string base = fmt::format("https://127.0.0.1:{}", server.port());
    server.answers["/feed/appcast.json"] = { fmt::format(R"({{"version":"0.2.0","url":"./Vistrope.deb","sha256":"{}","notes":"Arreglos"}})",
                                                         platform::sha256_hex(INSTALLER)), "" };
    server.answers["/feed/Vistrope.deb"] = { INSTALLER, "" };

    const auto settings = home.path() / ".config/vistrope/config.toml";
    std::filesystem::create_directories(settings.parent_path());
    write_file(settings, fmt::format("update_feed = \"{}/feed/appcast.json\"\n", base));
    // Checked a moment ago: the automatic check stays out of the way.
    write_file(settings.parent_path() / "last-update-check", "");
    QProcessEnvironment extra;
    extra.insert("CURL_CA_BUNDLE", QString::fromStdString((keys / "cert.pem").string()));
    // A desktop where no program opens a package: xdg-open answers 3.
    const auto bin = home.path() / "bin";
    std::filesystem::create_directories(bin);
    write_file(bin / "xdg-open", "#!/bin/sh\nexit 3\n");
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    extra.insert("PATH", QString::fromStdString(bin.string()) + ":" + qEnvironmentVariable("PATH"));
    Program program(home.path(), Program::FirstRun::Done, extra);
    ASSERT_TRUE(program.wait_for("listo")) << program.err();
    const auto downloads = home.path() / "Downloads";

    // A newer version: the offer, then "Descargar" (its default button).
    check_for_updates(server);
    std::optional<std::string> offer;
    ASSERT_TRUE(wait_until([&] { return (offer = dialog()).has_value(); }, 20000))
        << program.err() << fmt::format("{}", fmt::join(server.requests, ", "))
        << "\nscreen: " << screenshot("update-first.png");
    const std::string offer_shot = screenshot("update-offer.png");
    EXPECT_TRUE(program.wait_for("aviso: Vistrope 0.2.0 ya está disponible", 5)) << program.err() << "\nscreen: " << offer_shot;
    dismiss(*offer);
    ASSERT_TRUE(wait_until([&] { return program.wait_for("instalador verificado", 0); }, 20000)) << program.err();
    EXPECT_EQ(names_in(downloads), std::vector<std::string>{ "Vistrope-0.2.0.deb" }) << "no temporary is left";
    EXPECT_EQ(read_file(downloads / "Vistrope-0.2.0.deb"), INSTALLER);
    EXPECT_EQ(server.requests, (std::vector<std::string>{ "/feed/appcast.json", "/feed/Vistrope.deb" }));
    // Nothing opened it: an alert of ours says where it is and offers the folder.
    ASSERT_TRUE(wait_until([&] { return program.wait_for("no hay ninguna aplicación para abrirlo", 0); }, 20000)) << program.err();
    std::optional<std::string> downloaded;
    ASSERT_TRUE(wait_until([&] { return (downloaded = dialog()).has_value(); }, 20000)) << program.err();
    EXPECT_EQ(run("xdotool", { "getwindowname", QString::fromStdString(*downloaded) }), "Vistrope\n");
    dismiss(*downloaded);
    ASSERT_TRUE(wait_until([] { return !dialog().has_value(); }, 10000));

    // A wrong digest: nothing is kept and the alert says the download failed.
    server.answers["/feed/appcast.json"].body =
        fmt::format(R"({{"version":"0.3.0","url":"./Vistrope.deb","sha256":"{}"}})", std::string(64, 'a'));
    check_for_updates(server);
    ASSERT_TRUE(wait_until([&] { return (offer = dialog()).has_value(); }, 20000))
        << program.err() << fmt::format("{}", fmt::join(server.requests, ", "))
        << "\nscreen: " << screenshot("update-second.png");
    dismiss(*offer);
    std::optional<std::string> alert;
    ASSERT_TRUE(wait_until([&] { return (alert = dialog()).has_value() && *alert != *offer; }, 20000));
    pump_for(300);
    EXPECT_TRUE(program.wait_for("aviso: La descarga falló: la firma SHA-256", 5)) << program.err();
    EXPECT_EQ(names_in(downloads), std::vector<std::string>{ "Vistrope-0.2.0.deb" });
    dismiss(*alert);
    ASSERT_TRUE(wait_until([] { return !dialog().has_value(); }, 10000));

    // A feed that redirects to http is not followed.
    server.answers["/feed/appcast.json"] = { "", fmt::format("http://127.0.0.1:{}/feed/appcast.json", plain.serverPort()) };
    check_for_updates(server);
    ASSERT_TRUE(wait_until([&] { return (alert = dialog()).has_value(); }, 20000))
        << program.err() << fmt::format("{}", fmt::join(server.requests, ", "))
        << "\nscreen: " << screenshot("update-third.png");
    pump_for(300);
    EXPECT_TRUE(program.wait_for("aviso: No pude buscar actualizaciones: ", 5)) << program.err();
    EXPECT_FALSE(plain.hasPendingConnections()) << "nothing reached the http address";
    dismiss(*alert);
}
