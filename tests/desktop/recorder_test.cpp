// Recording as a user does it: the record command, a drag over the screen,
// the command again; the capsule's "Detener"; a GIF recording.
#include "recorder_desktop.h"
#include "record/video.h"

#include <fmt/format.h>

#include <QProcess>
#include <QStandardPaths>
#include <QElapsedTimer>
#include <QImage>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <sys/stat.h>

using namespace testing_support;
using namespace recorder_desktop;

namespace {

// The threads of process `pid`, but its main one, that carry the program's
// own name (the main thread's), by thread id.
std::set<std::string> threads_named_as_the_program(qint64 pid)
{
    const auto comm = [](const fs::path& file) {
        std::ifstream in(file);
        std::string name;
        std::getline(in, name);
        return name;
    };
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    const std::string own = comm(proc / "comm");
    std::set<std::string> found;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(proc / "task", ec))
        if (task.path().filename() != std::to_string(pid) && comm(task.path() / "comm") == own)
            found.insert(task.path().filename().string() + " " + own);
    return found;
}

// Of `seen`, the threads that still run under the program's name. A new
// thread carries its creator's name until it names itself, so one caught
// in that moment counts only if it keeps the name.
std::set<std::string> kept_the_programs_name(qint64 pid, const std::set<std::string>& seen)
{
    std::set<std::string> kept;
    const std::set<std::string> now = threads_named_as_the_program(pid);
    for (const std::string& thread : seen)
        if (now.contains(thread))
            kept.insert(thread);
    return kept;
}

// As top -H shows the program: while it captures (with its card, flash and
// sound) and while it records with system sound and microphone, every
// thread but the main one has a name of its own.
TEST_F(DesktopRecorder, WhileItCapturesAndRecordsWithSoundOnlyTheMainThreadCarriesTheProgramsName)
{
    start("countdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\nmicrophone = true\n", true);
    const qint64 pid = m_program->process().processId();
    std::set<std::string> seen;
    const auto look = [&] { seen.merge(threads_named_as_the_program(pid)); };
    url("vistrope://capture-fullscreen");
    EXPECT_TRUE(poll([&] {
        look();
        return !files(".png").empty();
    }, 300)) << "no capture was published\n" << m_program->err();
    std::set<std::string> kept;
    EXPECT_TRUE(poll_until([&] { return (kept = kept_the_programs_name(pid, seen)).empty(); }))
        << "during a capture: " << fmt::format("{}", fmt::join(kept, ", "));

    seen.clear();
    open_selector("vistrope://record-screen");
    xdo({ "mousemove", "900", "500" });
    xdo({ "key", "Return" });
    ASSERT_TRUE(started(1)) << m_program->err();
    for (int i = 0; i < 15; ++i) {
        look();
        QThread::msleep(100);
    }
    // Judged while the recording's threads still run.
    EXPECT_TRUE(poll_until([&] { return (kept = kept_the_programs_name(pid, seen)).empty(); }))
        << "while recording with sound (thread id and name): " << fmt::format("{}", fmt::join(kept, ", "));
    seen.clear();
    url("vistrope://record-screen");
    EXPECT_TRUE(poll([&] {
        look();
        return files(".mp4").size() == 1;
    }, 300)) << m_program->err();
    EXPECT_TRUE(poll_until([&] { return (kept = kept_the_programs_name(pid, seen)).empty(); }))
        << "while it stops (thread id and name): " << fmt::format("{}", fmt::join(kept, ", "));
}

TEST_F(DesktopRecorder, TheRecordCommandADragAndTheCommandAgainMakeAnMp4)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    const std::string shot = screenshot("recording.png");
    // The capsule stands under the region: a 36-point panel of the program.
    bool capsule = false;
    for (const auto& g : program_windows())
        capsule = capsule || (g.h == 36 && g.y > 451);
    EXPECT_TRUE(capsule) << run("xwininfo", { "-root", "-tree" }) << "\nscreen: " << shot;
    QThread::msleep(1500);
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    const std::string head = read_file(mp4[0]).substr(0, 8);
    EXPECT_EQ(head.substr(4), "ftyp");
    // The program's own panels stay out of the picture; nothing of them is left on screen.
    QThread::msleep(500);
    for (const auto& g : program_windows())
        EXPECT_NE(g.h, 36) << "the capsule went with the recording";
}


// A logout's SIGTERM three seconds into a recording ends the program as
// "Salir de Vistrope" does: the recording is published whole, status 0. While
// it runs, nothing half-written is seen in the capture folder.
TEST_F(DesktopRecorder, ATermThreeSecondsIntoARecordingPublishesItAndExitsCleanly)
{
    record_region_for("countdown_seconds = 0\nshow_clicks = false\n", "vistrope://record-screen", 3000);
    const auto during = names_in(m_home.path() / "capturas");
    ASSERT_EQ(during.size(), 1u);
    EXPECT_TRUE(during[0].starts_with(".Vistrope ")) << during[0];
    signal_program(SIGTERM, 6000);
    EXPECT_EQ(m_program->process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_program->process().exitCode(), 0);
    m_program->wait_for("publicado como", 0);
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    EXPECT_GE(probed_duration(mp4[0]), 2.0) << m_program->err();
    EXPECT_EQ(names_in(m_home.path() / "capturas").size(), 1u);
}

// Every other signal that would end the program by default ends it as
// SIGTERM does: the recording sealed and published, the signal logged,
// status 0. SIGALRM too, though the program's own forced end runs on a timer.
TEST_F(DesktopRecorder, TheSignalsThatEndAProgramPublishItsRecordingAsATermDoes)
{
    const std::pair<int, const char*> signals[] = { { SIGHUP, "HUP" }, { SIGUSR1, "USR1" }, { SIGUSR2, "USR2" },
        { SIGALRM, "ALRM" }, { SIGQUIT, "QUIT" } };
    std::size_t published = 0;
    for (const auto& [number, name] : signals) {
        start("countdown_seconds = 0\nshow_clicks = false\n");
        record_area("vistrope://record-screen", 200, 150, 601, 451);
        ASSERT_TRUE(m_program->wait_for("grabando en", 20)) << m_program->err();
        ASSERT_TRUE(poll_until([&] { return fragment_written(); }, 10000)) << name;
        signal_program(number, 6000);
        EXPECT_EQ(m_program->process().exitStatus(), QProcess::NormalExit) << name;
        EXPECT_EQ(m_program->process().exitCode(), 0) << name;
        m_program->wait_for("", 0);
        EXPECT_NE(m_program->err().find(fmt::format("recibí la señal {}", name)), std::string::npos) << m_program->err();
        EXPECT_NE(m_program->err().find("publicado como"), std::string::npos) << name << "\n" << m_program->err();
        EXPECT_EQ(files(".mp4").size(), ++published) << name << "\n" << m_program->err();
    }
}

// With a player of the sound server's default buffering playing from
// before (its sink renders two seconds ahead, and system sound comes that
// late), the recording starts on release all the same: the program's own
// count from the finished selection to the first frame is at most half a
// second more than a silent start's in the same run. Two moments into the
// playing (the player started before the program, and after it) between two
// silent starts: a start that waited for the sound is a second or more late
// every time, while a loaded machine makes single starts late at random, so
// the sooner player start is held against the later silent one.
TEST_F(DesktopRecorder, WithAPlayerAlreadyPlayingTheVideoStartsOnRelease)
{
    const fs::path tone = m_home.path() / "tono.wav";
    run("ffmpeg", { "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=880:duration=30", QString::fromStdString(tone.string()) });
    ASSERT_TRUE(fs::exists(tone));
    std::size_t made = 0;
    enum class Player { None, BeforeTheProgram, After };
    double silent_start = 0;
    double player_start = std::numeric_limits<double>::infinity();
    for (const Player moment : { Player::None, Player::BeforeTheProgram, Player::After, Player::None }) {
        const bool before_the_program = moment == Player::BeforeTheProgram;
        QProcess player;
        const auto play = [&] {
            player.start("paplay", { QString::fromStdString(tone.string()) });
            ASSERT_TRUE(poll_until([] { return run("pactl", { "list", "short", "sinks" }).find("RUNNING") != std::string::npos; }));
        };
        if (before_the_program)
            play();
        start(moment == Player::None ? "countdown_seconds = 0\nshow_clicks = false\n"
                                     : "countdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\n");
        if (moment == Player::After)
            play();
        open_selector("vistrope://record-screen");
        xdo({ "mousemove", "200", "150", "mousedown", "1" });
        xdo({ "mousemove", "601", "451" });
        const auto released = std::chrono::steady_clock::now();
        xdo({ "mouseup", "1" });
        ASSERT_TRUE(m_program->wait_for("grabando en", 20)) << m_program->err();
        ASSERT_TRUE(poll_until([&] { return fragment_written(); }, 10000));
        const auto stopped = std::chrono::steady_clock::now();
        signal_program(SIGTERM, 6000);
        player.kill(); // the child this test started
        player.waitForFinished();
        const auto mp4 = files(".mp4");
        ASSERT_EQ(mp4.size(), ++made) << m_program->err();
        const fs::path newest = *std::ranges::max_element(mp4, {}, [](const fs::path& f) { return fs::last_write_time(f); });
        const double video_s = QString::fromStdString(run("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries",
                                                           "stream=duration", "-of", "csv=p=0", QString::fromStdString(newest.string()) }))
                                   .trimmed()
                                   .toDouble();
        const double held = std::chrono::duration<double>(stopped - released).count();
        const std::string& log = m_program->err();
        const auto lap = log.rfind("grabación: grabando en ");
        ASSERT_NE(lap, std::string::npos) << log;
        const std::string_view after = std::string_view(log).substr(lap + std::string_view("grabación: grabando en ").size());
        double start_ms = -1;
        std::from_chars(after.data(), after.data() + after.size(), start_ms);
        ASSERT_GE(start_ms, 0) << log;
        const double start_s = start_ms / 1000.0;
        std::printf("%s: primer cuadro %.2f s después de la selección; de soltar a detener %.2f s, video %.2f s\n",
            moment == Player::None ? "sin sonido" : before_the_program ? "reproductor antes del programa" : "reproductor después",
            start_s, held, video_s);
        if (moment == Player::None)
            silent_start = std::max(silent_start, start_s);
        else
            player_start = std::min(player_start, start_s);
    }
    EXPECT_LE(player_start, silent_start + 0.5) << "the sooner start with a player playing against the later silent one";
}

// SIGKILL leaves the hidden temporary; the next launch publishes it, where
// it was made, though the capture folder has changed meanwhile: the state
// folder's journal names it.
TEST_F(DesktopRecorder, AKillThreeSecondsIntoARecordingIsRecoveredAtTheNextLaunch)
{
    record_region_for("countdown_seconds = 0\nshow_clicks = false\n", "vistrope://record-screen", 3000);
    signal_program(SIGKILL, 5000);
    const auto left = names_in(m_home.path() / "capturas");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left[0].starts_with(".Vistrope ")) << left[0];
    write_file(m_home.path() / ".config/vistrope/config.toml",
        fmt::format("save_dir = \"{}\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n",
            (m_home.path() / "otra").string()));

    m_program.emplace(m_home.path());
    ASSERT_TRUE(m_program->wait_for("grabación interrumpida recuperada", 20)) << m_program->err();
    EXPECT_TRUE(m_program->wait_for("aviso: Se recuperó una grabación interrumpida", 10)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    EXPECT_TRUE(mp4[0].filename().string().ends_with(" (recuperada).mp4")) << mp4[0];
    EXPECT_GE(probed_duration(mp4[0]), 2.0);
    EXPECT_EQ(names_in(m_home.path() / "capturas").size(), 1u);
    EXPECT_TRUE(names_in(m_home.path() / ".local/state/vistrope/recordings").empty());
}

// A second instance on the same capture folder and state folder (the same
// user in two X sessions) launches while the first records: it leaves the
// live temporary alone, and the recording ends whole.
TEST_F(DesktopRecorder, ASecondInstanceLeavesARecordingInProgressAlone)
{
    record_region_for("countdown_seconds = 0\nshow_clicks = false\n", "vistrope://record-screen", 0);
    const auto began = std::chrono::steady_clock::now();
    QThread::msleep(1500);
    // Its own single-instance place, so it becomes an instance of its own.
    const fs::path run_dir = m_home.path() / "run2";
    fs::create_directories(run_dir);
    fs::permissions(run_dir, fs::perms::owner_all);
    QProcessEnvironment other;
    other.insert("XDG_RUNTIME_DIR", QString::fromStdString(run_dir.string()));
    Program second(m_home.path(), Program::FirstRun::Done, other);
    ASSERT_TRUE(second.wait_for("grabaciones interrumpidas: 0 recuperadas, 1 dejadas", 30)) << second.err();
    EXPECT_NE(second.err().find("otro proceso la está escribiendo"), std::string::npos) << second.err();
    QThread::msleep(1500);
    // What the video holds ends when the stop is asked, not when the file is published.
    const double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    EXPECT_FALSE(mp4[0].filename().string().ends_with("(recuperada).mp4")) << mp4[0];
    EXPECT_GE(probed_duration(mp4[0]), recorded - 1.5) << m_program->err();
    EXPECT_EQ(m_program->err().find("No se pudo guardar"), std::string::npos) << m_program->err();
    EXPECT_EQ(names_in(m_home.path() / "capturas").size(), 1u);
}

// A hard link into the capture folder, named like one of our temporaries, of
// a file elsewhere that looks like a killed recording: nothing of it changes.
TEST_F(DesktopRecorder, AHardLinkNamedLikeATemporaryIsLeftAsItIs)
{
    const fs::path outside = m_home.path() / "ajeno.mp4";
    QProcess make;
    make.start("ffmpeg", { "-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=30", "-t", "4", "-c:v", "libx264",
                             "-preset", "ultrafast", "-g", "30", "-movflags", "+frag_keyframe+empty_moov+default_base_moof",
                             "-frag_duration", "500000", QString::fromStdString(outside.string()) });
    ASSERT_TRUE(make.waitForFinished(30000));
    ASSERT_EQ(make.exitCode(), 0) << make.readAllStandardError().toStdString();
    fs::resize_file(outside, fs::file_size(outside) * 7 / 10); // mid-fragment, as a kill leaves it
    const std::string before = read_file(outside);
    const fs::path folder = m_home.path() / "capturas";
    fs::create_directories(folder);
    const fs::path link = folder / ".Vistrope 2026-01-05 a las 09.03.07.mp4.abc123";
    fs::create_hard_link(outside, link);
    fs::last_write_time(link, fs::file_time_type::clock::now() - std::chrono::hours(1));
    start("countdown_seconds = 0\n");
    ASSERT_TRUE(m_program->wait_for("grabaciones interrumpidas: 0 recuperadas", 30)) << m_program->err();
    EXPECT_NE(m_program->err().find("tiene otros enlaces"), std::string::npos) << m_program->err();
    EXPECT_EQ(read_file(outside), before);
    EXPECT_EQ(fs::hard_link_count(outside), 2u);
    EXPECT_TRUE(files(".mp4").empty());
}

// A logout's SIGTERM during a GIF recording: the GIF is made, its MP4 goes
// before the program ends, and the next launch finds nothing to recover.
TEST_F(DesktopRecorder, ATermDuringAGifRecordingLeavesTheGifAndNothingToRecover)
{
    record_region_for("countdown_seconds = 0\nshow_clicks = false\ngif_max_width = 320\n", "vistrope://record-gif", 2000);
    signal_program(SIGTERM, 8000);
    m_program->wait_for("", 0);
    const auto gif = files(".gif");
    ASSERT_EQ(gif.size(), 1u) << m_program->err();
    EXPECT_EQ(read_file(gif[0]).substr(0, 6), "GIF89a");
    EXPECT_EQ(names_in(m_home.path() / "capturas"), (std::vector<std::string> { gif[0].filename().string() })) << m_program->err();

    m_program.emplace(m_home.path());
    ASSERT_TRUE(m_program->wait_for("grabaciones interrumpidas: 0 recuperadas, 0 dejadas", 30)) << m_program->err();
    EXPECT_EQ(m_program->err().find("Se recuperó una grabación interrumpida"), std::string::npos) << m_program->err();
    EXPECT_EQ(names_in(m_home.path() / "capturas"), (std::vector<std::string> { gif[0].filename().string() }));
}

// SIGKILL at seeded random moments of recordings of a still area and of a
// moving one (glxgears): what the next launch recovers lacks at most 1.2 s
// of what was recorded until the kill. A still area makes packets of a few
// bytes, which must not wait in a buffer for more.
TEST_F(DesktopRecorder, AKillAtAnyMomentLosesAtMostASecond)
{
    QProcess gears;
    gears.start("glxgears", { "-geometry", "400x300+650+120" });
    ASSERT_TRUE(gears.waitForStarted(5000));
    struct Stop {
        QProcess& p;
        ~Stop()
        {
            p.kill();
            p.waitForFinished(2000);
        }
    } stop_gears { gears };
    // With sound, whose packets the muxer interleaves with the picture's.
    start("countdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\nmicrophone = true\n");
    std::mt19937 random(46);
    std::uniform_int_distribution<int> kill_after(1000, 9500);
    std::set<fs::path> seen;
    for (int round = 0; round < 6; ++round) {
        const bool moving = round % 2 == 1;
        SCOPED_TRACE(moving ? "moving" : "still");
        if (moving)
            record_area("vistrope://record-screen", 600, 80, 1101, 461);
        else
            record_area("vistrope://record-screen", 80, 520, 481, 821);
        double recorded = 0;
        fs::path recovered;
        kill_and_recover("grabando", kill_after(random), seen, recorded, recovered);
        if (HasFatalFailure())
            return;
        const double kept = probed_duration(recovered);
        std::printf("%s: %.2f s recorded until the kill, %.2f s recovered\n", moving ? "moving" : "still", recorded, kept);
        EXPECT_GE(kept, recorded - 1.2) << recovered.string();
        QThread::msleep(300);
    }
}

// A capture folder that fills up during the recording (a 2 MB tmpfs; the
// test needs the right to mount one): what was whole is kept as
// "(incompleta)", plays, and is announced as incomplete with its cause and
// length, never as saved nor as lost. It has one sound track, system sound
// and the microphone that delivers in bursts: the sound kept while waiting
// for the microphone, with its bursts, then the sound written ahead of it, up
// to the picture's end.
TEST_F(DesktopRecorder, AFullDiskKeepsTheWholeFragmentsAsIncomplete)
{
    const fs::path folder = m_home.path() / "capturas";
    fs::create_directories(folder);
    if (QProcess::execute("mount", { "-t", "tmpfs", "-o", "size=2m", "tmpfs", QString::fromStdString(folder.string()) }) != 0)
        GTEST_SKIP() << "no se puede montar un tmpfs aquí";
    struct Unmount {
        fs::path at;
        ~Unmount() { QProcess::execute("umount", { "-l", QString::fromStdString(at.string()) }); }
    } unmount { folder };
    // Something that moves under the region, so the file grows quickly.
    QProcess gears;
    gears.start("glxgears", { "-geometry", "600x500+150+100" });
    ASSERT_TRUE(gears.waitForStarted(5000));
    QThread::msleep(800);
    start("countdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\nmicrophone = true\n");
    record_area("vistrope://record-screen", 120, 80, 921, 681);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    ASSERT_TRUE(m_program->wait_for("la grabación falló", 30)) << m_program->err();
    ASSERT_TRUE(m_program->wait_for("(incompleta).mp4", 20)) << m_program->err();
    gears.kill();
    gears.waitForFinished(2000);
    // The toast names the file incomplete, its cause and its length.
    ASSERT_TRUE(m_program->wait_for("aviso: Grabación incompleta: el disco está lleno · 00:", 5)) << m_program->err();
    EXPECT_EQ(m_program->err().find("aviso: Grabación guardada"), std::string::npos) << m_program->err();
    EXPECT_EQ(m_program->err().find("aviso: No se pudo"), std::string::npos) << m_program->err();
    const auto names = names_in(folder);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].ends_with(" (incompleta).mp4")) << names[0];
    const double length = probed_duration(folder / names[0]);
    EXPECT_GT(length, 0.5);
    const std::string tracks = run("ffprobe", { "-v", "error", "-select_streams", "a", "-show_entries", "stream=index", "-of", "csv=p=0",
                                                  QString::fromStdString((folder / names[0]).string()) });
    EXPECT_EQ(std::ranges::count(tracks, '\n'), 1) << tracks;
    const double picture = stream_length(folder / names[0], "v"), sound = stream_length(folder / names[0], "a");
    // Where the kept sound ended, from the log.
    ASSERT_TRUE(m_program->wait_for("la guardada hasta ", 5)) << m_program->err();
    const std::string& log = m_program->err();
    const double kept = std::atof(log.c_str() + log.find("la guardada hasta ") + std::strlen("la guardada hasta "));
    const double share = sounding_share(sound_of(folder / names[0]), kept);
    std::printf("disco lleno: video %.2f s, sonido %.2f s, el guardado hasta %.2f s con el seno %.0f %%\n", picture, sound, kept,
        100 * share);
    EXPECT_GE(sound, picture - 0.5);
    EXPECT_GE(share, 0.5) << "the microphone's bursts are not in the kept sound";
    const std::string said = m_program->err().substr(m_program->err().find("aviso: Grabación incompleta"));
    EXPECT_TRUE(said.starts_with(fmt::format("aviso: Grabación incompleta: el disco está lleno · 00:{:02}", static_cast<int>(std::lround(length)))))
        << said << " for a file of " << length << " s";
    // Every frame of it decodes.
    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", QString::fromStdString((folder / names[0]).string()), "-f", "null", "-" });
    ASSERT_TRUE(decode.waitForFinished(20000));
    EXPECT_EQ(decode.exitCode(), 0);
    EXPECT_TRUE(decode.readAllStandardError().isEmpty());
}

// Causes the user can act on are in the toasts: a capture folder that
// cannot be made (below a plain file), and, with sound asked for, a sound
// server that is not there (the recording goes on, silent).
TEST_F(DesktopRecorder, FailureToastsNameTheirCause)
{
    write_file(m_home.path() / "archivo", "x");
    write_file(m_home.path() / ".config/vistrope/config.toml",
        fmt::format("save_dir = \"{}\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n"
                    "copy_to_clipboard = false\n[recording]\ncountdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\n",
            (m_home.path() / "archivo" / "capturas").string()));
    QProcessEnvironment no_sound;
    no_sound.insert("PULSE_SERVER", "unix:" + QString::fromStdString((m_home.path() / "no-hay-servidor").string()));
    m_program.emplace(m_home.path(), Program::FirstRun::Done, no_sound);
    ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("aviso: No se pudo grabar: la carpeta no existe", 20)) << m_program->err();

    write_file(m_home.path() / ".config/vistrope/config.toml",
        fmt::format("save_dir = \"{}\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n"
                    "copy_to_clipboard = false\n[recording]\ncountdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\n",
            (m_home.path() / "capturas").string()));
    m_program.emplace(m_home.path(), Program::FirstRun::Done, no_sound);
    ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    ASSERT_TRUE(m_program->wait_for("aviso: Grabación sin sonido: no hay servidor de sonido", 10)) << m_program->err();
    QThread::msleep(800);
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    EXPECT_EQ(files(".mp4").size(), 1u);
}

// The record command and Return record the whole screen, every time: the
// recording never waits for a window of ours to be listed.
TEST_F(DesktopRecorder, TwentyWholeScreenRecordingsInARowAllStart)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    constexpr int RUNS = 20;
    for (int run_no = 1; run_no <= RUNS; ++run_no) {
        SCOPED_TRACE(run_no);
        record_whole_screen(static_cast<std::size_t>(run_no), 400);
        if (HasFatalFailure())
            return;
        // The selector of the next command must not meet this one's leftovers.
        QThread::msleep(300);
    }
    EXPECT_EQ(m_program->err().find("apps compartibles"), std::string::npos);
    const std::string shown = run("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries", "stream=width,height",
        "-of", "csv=p=0", QString::fromStdString(files(".mp4")[0].string()) });
    const std::string root = run("xdotool", { "getdisplaygeometry" });
    EXPECT_EQ(QString::fromStdString(shown).trimmed().replace(',', ' '), QString::fromStdString(root).trimmed());
}

// Five whole-screen recordings in a row with the default settings (pointer
// and clicks shown, flash, card) give back what they took: after each one the program's
// own memory (anonymous and shared: frames, queue, encoder, panels' pictures)
// is within 20 MB of what it held at rest, after the selector had been open
// once. The libraries' code a first recording pages in is not counted.
TEST_F(DesktopRecorder, FiveRecordingsInARowGiveTheirMemoryBack)
{
    start("", true);
    const qint64 pid = m_program->process().processId();
    auto held_mb = [pid] {
        std::ifstream in(fmt::format("/proc/{}/status", pid));
        double kb = 0;
        for (std::string line; std::getline(in, line);)
            if (line.starts_with("RssAnon:") || line.starts_with("RssShmem:"))
                kb += std::stod(line.substr(line.find(':') + 1));
        return kb / 1024.0;
    };
    open_selector("vistrope://record-screen");
    xdo({ "key", "Escape" });
    QThread::msleep(3000);
    const double rest = held_mb();
    for (int run_no = 1; run_no <= 5; ++run_no) {
        SCOPED_TRACE(run_no);
        record_whole_screen(static_cast<std::size_t>(run_no), 1500);
        if (HasFatalFailure())
            return;
        // The card made, and what the recording freed given back (three seconds after).
        QThread::msleep(5000);
        const double after = held_mb();
        EXPECT_LT(after - rest, 20.0) << fmt::format("{:.1f} MB at rest, {:.1f} MB after recording {}", rest, after, run_no);
    }
}

// "Pantalla" (the key 2) in the overlay opened to record records the whole
// screen: an MP4 of the screen's size, no still.
TEST_F(DesktopRecorder, PantallaUnderGrabarPantallaRecordsTheWholeScreen)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    open_selector("vistrope://record-screen");
    xdo({ "mousemove", "900", "500" });
    QThread::msleep(200);
    xdo({ "key", "2" });
    ASSERT_TRUE(m_program->wait_for("grabando en", 20)) << m_program->err();
    QThread::msleep(1200);
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    EXPECT_TRUE(files(".png").empty());
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u);
    const std::string size = run("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries", "stream=width,height",
        "-of", "csv=p=0", QString::fromStdString(mp4[0].string()) });
    const std::string root = run("xdotool", { "getdisplaygeometry" });
    EXPECT_EQ(QString::fromStdString(size).trimmed().replace(',', ' '), QString::fromStdString(root).trimmed());
}

// The countdown's last number is never in the video: in fifteen recordings
// with a one-second countdown, made while eight busy loops load the machine,
// the first frame shows the plain desktop the screen shows (the recording
// waits until the square is off the screen, compositor included). Started
// as soon as the square was hidden, two in sixteen showed it.
TEST_F(DesktopRecorder, TheCountdownIsNeverInTheFirstFrame)
{
    std::vector<std::unique_ptr<QProcess>> load;
    for (int i = 0; i < 8; ++i) {
        load.push_back(std::make_unique<QProcess>());
        load.back()->start("sh", { "-c", "while :; do :; done" });
    }
    struct Unload {
        std::vector<std::unique_ptr<QProcess>>& load;
        ~Unload()
        {
            for (auto& p : load) {
                p->kill();
                p->waitForFinished(2000);
            }
        }
    } unload { load };
    start("countdown_seconds = 1\nshow_clicks = false\nshow_cursor = false\n");
    constexpr std::size_t RUNS = 15;
    for (std::size_t n = 1; n <= RUNS; ++n) {
        SCOPED_TRACE(n);
        record_area("vistrope://record-screen", 200, 150, 601, 451);
        ASSERT_TRUE(started(n)) << m_program->err();
        QThread::msleep(700);
        url("vistrope://record-screen");
        ASSERT_TRUE(poll([&] { return files(".mp4").size() == n; }, 200)) << m_program->err();
        QThread::msleep(300);
    }
    // The screen as it is now: the desktop, none of our panels.
    const fs::path shot = m_home.path() / "pantalla.png";
    run("import", { "-window", "root", QString::fromStdString(shot.string()) });
    const QImage screen = QImage(QString::fromStdString(shot.string())).convertToFormat(QImage::Format_RGB888);
    ASSERT_FALSE(screen.isNull());
    for (const fs::path& mp4 : files(".mp4")) {
        const QStringList size = QString::fromStdString(run("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries",
                                                                          "stream=width,height", "-of", "csv=p=0", QString::fromStdString(mp4.string()) }))
                                     .trimmed()
                                     .split(',');
        ASSERT_EQ(size.size(), 2) << mp4;
        const int w = size[0].toInt(), h = size[1].toInt();
        QProcess decode;
        decode.start("ffmpeg", { "-v", "error", "-i", QString::fromStdString(mp4.string()), "-frames:v", "1", "-f", "rawvideo",
                                   "-pix_fmt", "rgb24", "-" });
        ASSERT_TRUE(decode.waitForFinished(20000));
        const QByteArray frame = decode.readAllStandardOutput();
        ASSERT_EQ(frame.size(), w * h * 3) << mp4;
        const QImage region = screen.copy(200, 150, w, h);
        int differ = 0;
        for (int y = 0; y < h; ++y) {
            const auto* row = reinterpret_cast<const unsigned char*>(frame.constData()) + static_cast<std::ptrdiff_t>(y) * w * 3;
            const unsigned char* want = region.constScanLine(y);
            for (int x = 0; x < w * 3; x += 3)
                if (std::abs(row[x] - want[x]) > 48 || std::abs(row[x + 1] - want[x + 1]) > 48 || std::abs(row[x + 2] - want[x + 2]) > 48)
                    ++differ;
        }
        // The square is 120 × 120 points: a fraction of it would show here.
        EXPECT_LT(differ, w * h / 200) << mp4.filename() << ": " << differ << " pixels differ from the screen";
    }
}

// Escape in the countdown cancels the recording, and the program that has
// the focus (an xterm under the region) never receives it.
TEST_F(DesktopRecorder, EscapeInTheCountdownCancelsAndNoOtherProgramSeesIt)
{
    const fs::path typed = m_home.path() / "tecleado";
    QProcess xterm;
    xterm.start("xterm", { "-T", "vistrope-escape", "-geometry", "80x24+100+100", "-e", "sh", "-c",
                             QString("stty raw -echo; head -c 1 > '%1'; sleep 30").arg(QString::fromStdString(typed.string())) });
    ASSERT_TRUE(xterm.waitForStarted(5000));
    std::string id;
    ASSERT_TRUE(poll([&] { return !(id = window_named("vistrope-escape")).empty(); }));
    start("countdown_seconds = 5\nshow_clicks = false\n");
    record_area("vistrope://record-screen", 250, 200, 551, 401);
    ASSERT_TRUE(m_program->wait_for("grabación: pantalla", 20)) << m_program->err();
    // The xterm has the focus; Escape goes to it unless it is taken.
    xdo({ "windowfocus", "--sync", QString::fromStdString(id) });
    QThread::msleep(500);
    xdo({ "key", "Escape" });
    ASSERT_TRUE(m_program->wait_for("aviso: Grabación cancelada", 10)) << m_program->err();
    QThread::msleep(300);
    EXPECT_EQ(read_file(typed), "");
    EXPECT_TRUE(files(".mp4").empty());
    // Released afterwards: the xterm has its keys again.
    xdo({ "windowfocus", "--sync", QString::fromStdString(id) });
    xdo({ "key", "Escape" });
    EXPECT_TRUE(poll([&] { return read_file(typed) == "\x1b"; })) << read_file(typed);
    xterm.kill();
    xterm.waitForFinished(2000);
}

namespace {

std::optional<Geometry> capsule_window()
{
    for (const auto& g : program_windows())
        if (g.h == 36)
            return g;
    return std::nullopt;
}

} // namespace

TEST_F(DesktopRecorder, TheCapsuleGoesWhereItIsDraggedAndKeepsRecording)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    std::optional<Geometry> before;
    ASSERT_TRUE(poll([&] { return (before = capsule_window()).has_value(); }));
    // Pressed by its dot, well off the button, and dragged up and right.
    const int x = before->x + 12, y = before->y + before->h / 2;
    xdo({ "mousemove", QString::number(x), QString::number(y), "mousedown", "1" });
    for (int i = 1; i <= 10; ++i)
        xdo({ "mousemove", QString::number(x + 30 * i), QString::number(y - 25 * i) });
    xdo({ "mouseup", "1" });
    std::optional<Geometry> after;
    EXPECT_TRUE(poll([&] {
        after = capsule_window();
        return after && std::abs(after->x - (before->x + 300)) <= 6 && std::abs(after->y - (before->y - 250)) <= 6;
    })) << fmt::format("from {},{} to {},{}", before->x, before->y, after ? after->x : -1, after ? after->y : -1);
    ASSERT_TRUE(after);
    EXPECT_GE(after->x, 0);
    EXPECT_GE(after->y, 0);
    EXPECT_LE(after->x + after->w, 1920);
    EXPECT_LE(after->y + after->h, 1080);
    // A drag is no stop: the recording goes on until the command ends it.
    EXPECT_FALSE(m_program->wait_for("deteniendo", 1)) << m_program->err();
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    EXPECT_EQ(files(".mp4").size(), 1u);
}

TEST_F(DesktopRecorder, ClickingTheRecordingsTrayIconStopsItAndKeepsTheFile)
{
    start("countdown_seconds = 0\nshow_clicks = false\n");
    auto small = [] {
        std::map<std::string, Geometry> icons;
        for (const auto& [id, g] : program_windows_by_id())
            if (g.w <= 64 && g.h <= 64 && g.w > 4)
                icons.emplace(id, g);
        return icons;
    };
    std::map<std::string, Geometry> before;
    ASSERT_TRUE(poll([&] { return !(before = small()).empty(); })) << "the program's own tray icon";
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    std::optional<Geometry> icon;
    ASSERT_TRUE(poll([&] {
        for (const auto& [id, g] : small())
            if (!before.count(id))
                icon = g;
        return icon.has_value();
    })) << "the recording's tray icon";
    QThread::msleep(1200);
    xdo({ "mousemove", QString::number(icon->x + icon->w / 2), QString::number(icon->y + icon->h / 2), "click", "1" });
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u);
    EXPECT_EQ(read_file(mp4[0]).substr(4, 4), "ftyp");
    EXPECT_TRUE(poll([&] { return small().size() == before.size(); })) << "the recording's icon goes with it";
}

TEST_F(DesktopRecorder, DetenerDuringTheCountdownLeavesNoFile)
{
    start("countdown_seconds = 5\nshow_clicks = false\n");
    record_area("vistrope://record-screen", 300, 200, 700, 500);
    ASSERT_TRUE(m_program->wait_for("grabación: pantalla", 20)) << m_program->err();
    std::optional<Geometry> capsule;
    for (int i = 0; i < 30 && !capsule; ++i) {
        for (const auto& g : program_windows())
            if (g.h == 36 && g.w > 100)
                capsule = g;
        QThread::msleep(100);
    }
    ASSERT_TRUE(capsule) << m_program->err() << run("xwininfo", { "-root", "-tree" });
    const std::string shot = screenshot("countdown.png");
    // The button is the capsule's right end.
    xdo({ "mousemove", QString::number(capsule->x + capsule->w - 30), QString::number(capsule->y + 18), "click", "1" });
    ASSERT_TRUE(m_program->wait_for("grabación cancelada", 10)) << m_program->err() << "\nscreen before the click: " << shot;
    QThread::msleep(6000);
    EXPECT_TRUE(files(".mp4").empty());
    EXPECT_EQ(m_program->err().find("video de"), std::string::npos);
}

TEST_F(DesktopRecorder, AGifRecordingLeavesAGifAndNoMp4)
{
    start("countdown_seconds = 0\nshow_clicks = false\ngif_max_width = 320\n");
    record_area("vistrope://record-gif", 250, 250, 570, 490);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    QThread::msleep(1200);
    url("vistrope://record-gif");
    ASSERT_TRUE(m_program->wait_for("gif: ", 60)) << m_program->err();
    const auto gif = files(".gif");
    ASSERT_EQ(gif.size(), 1u) << m_program->err();
    EXPECT_EQ(read_file(gif[0]).substr(0, 6), "GIF89a");
    EXPECT_TRUE(files(".mp4").empty());
    // The MP4 was recorded into a hidden temporary in the capture folder and
    // removed after the conversion.
    const std::string hidden = (m_home.path() / "capturas" / ".Vistrope ").string();
    EXPECT_NE(m_program->err().find(" en " + hidden), std::string::npos) << m_program->err();
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(m_home.path() / "capturas"))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, (std::vector<std::string> { gif[0].filename().string() }));
}

} // namespace

namespace {

struct Seen {
    int blue_frames = 0, orange_frames = 0, pill_frames = 0, frames = 0;
    int green_frames = 0, magenta_frames = 0;
};

// Frames of the video with a ring's blue, a ring's orange, and the pill's dark body.
Seen look_at(const fs::path& mp4)
{
    Seen seen;
    auto r = video::decode_frames(mp4, { std::nullopt, 30, 0 }, [&](gif::Frame f, std::uint32_t, std::uint32_t) -> std::expected<void, std::string> {
        int blue = 0, orange = 0, dark = 0, green = 0, magenta = 0;
        for (std::uint32_t px : f.pixels) {
            const int R = (px >> 16) & 255, G = (px >> 8) & 255, B = px & 255;
            blue += B - R > 50 && B > G + 20;
            orange += R - B > 50 && R > G + 20;
            dark += R < 70 && G < 50 && B < 75; // the pill over grey or over magenta
            green += G > 200 && R < 60 && B < 60;
            magenta += R > 200 && B > 200 && G < 60;
        }
        ++seen.frames;
        seen.blue_frames += blue > 40;
        seen.orange_frames += orange > 40;
        seen.pill_frames += dark > 400;
        seen.green_frames += green > 100;
        seen.magenta_frames += magenta > static_cast<int>(f.pixels.size() / 2);
        return {};
    });
    EXPECT_TRUE(r) << (r ? "" : r.error());
    return seen;
}

} // namespace

// A desktop of one colour keeps no picture to read; in a whole-screen
// recording (the keys-and-clicks panel and the capsule left out) the bare
// desktop still shows as the screen shows it, never black.
TEST_F(DesktopRecorder, AWholeScreenRecordingShowsThePlainDesktopAsTheScreenDoes)
{
    run("xsetroot", { "-solid", "grey" });
    struct Restore {
        ~Restore() { run("xsetroot", { "-solid", "black" }); }
    } restore;
    start("countdown_seconds = 0\nshow_clicks = true\nshow_keys = true\n");
    open_selector("vistrope://record-screen");
    xdo({ "mousemove", "900", "500" });
    QThread::msleep(200);
    xdo({ "key", "Return" });
    ASSERT_TRUE(m_program->wait_for("grabando en", 20)) << m_program->err();
    QThread::msleep(1500);
    const std::string shot = screenshot("bare.png");
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    SCOPED_TRACE("screen: " + shot);
    const QImage screen(QString::fromStdString(shot));
    ASSERT_FALSE(screen.isNull());
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u);
    std::vector<gif::Frame> frames;
    std::uint32_t width = 0;
    auto decoded = video::decode_frames(mp4[0], { std::nullopt, 10, 0 }, [&](gif::Frame f, std::uint32_t w, std::uint32_t) -> std::expected<void, std::string> {
        width = w;
        frames.push_back(std::move(f));
        return {};
    });
    ASSERT_TRUE(decoded) << decoded.error();
    ASSERT_GT(frames.size(), 3u);
    const gif::Frame& frame = frames[frames.size() / 2];
    // Points of bare desktop: the corners' neighbourhood, the middle's left and right.
    for (const auto& [x, y] : { std::pair(20, 20), std::pair(300, 540), std::pair(1800, 200), std::pair(60, 1000) }) {
        SCOPED_TRACE(fmt::format("{},{}", x, y));
        const std::uint32_t px = frame.pixels[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)];
        const QColor shown = screen.pixelColor(x, y);
        EXPECT_NEAR(int((px >> 16) & 255), shown.red(), 8);
        EXPECT_NEAR(int((px >> 8) & 255), shown.green(), 8);
        EXPECT_NEAR(int(px & 255), shown.blue(), 8);
    }
}

TEST_F(DesktopRecorder, ClicksAndAShortcutInTheRegionReachTheVideo)
{
    start("countdown_seconds = 0\nshow_clicks = true\nshow_keys = true\n");
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    EXPECT_TRUE(m_program->wait_for("excepciones en el filtro: 1", 1)) << m_program->err();
    QThread::msleep(300);
    xdo({ "mousemove", "300", "250", "click", "4" });
    QThread::msleep(800);
    xdo({ "mousemove", "400", "300", "click", "1" });
    QThread::msleep(100);
    const std::string ring = screenshot("ring.png");
    QThread::msleep(700);
    xdo({ "key", "ctrl+shift+f" });
    QThread::msleep(150);
    const std::string pill = screenshot("pill.png");
    QThread::msleep(900);
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 20)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    const Seen seen = look_at(mp4[0]);
    EXPECT_GT(seen.frames, 10);
    EXPECT_GT(seen.blue_frames, 0) << "screen after the click: " << ring;
    EXPECT_GT(seen.pill_frames, 0) << "screen after the shortcut: " << pill;
    EXPECT_EQ(seen.orange_frames, 0) << "a wheel step is no click";
}

namespace {

// Runs the program with a self-check switch; its standard output and error
// (and its exit status in `status` when given).
std::pair<std::string, std::string> run_check(const fs::path& home, const QStringList& args, const std::map<QString, QString>& vars = {},
    int* status = nullptr)
{
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    for (const auto& [k, v] : vars)
        env.insert(k, v);
    p.setProcessEnvironment(env);
    p.start(VISTROPE_BINARY, args);
    EXPECT_TRUE(p.waitForFinished(60000));
    if (status)
        *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return { p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString() };
}

} // namespace

TEST(DesktopRecorderCheck, DebugRecorderPrintsItsFindingsAndDrawsThreePictures)
{
    TempHome home;
    const fs::path dir = home.path() / "comprobar";
    int status = -1;
    const auto [out, err] = run_check(home.path(), { "--debug-recorder", QString::fromStdString(dir.string()) }, {}, &status);
    EXPECT_EQ(status, 0) << out << err;
    for (const char* line : { "clase VistropeRecorderDelegate registrada, id 7",
             "responde a didFinish=true didStart=true didFail=true didStop=true didOutput=true",
             "hevc=false: url=", "intervalo: value=1 timescale=60 flags=1 (0.01667 s)",
             "ida y vuelta por StreamConfiguration: 1/60 flags=1",
             "tamaños: 1512×982@2 h264 (3024, 1964), 5120×2880@1 h264 (4096, 2304), hevc (5120, 2880)",
             "addStreamOutput: ok", "addRecordingOutput: ok", "StreamListener: \tconforma=true",
             "RecordingListener: \tconforma=true" })
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out << err;
    for (const char* png : { "capsula.png", "aviso.png", "borde.png" }) {
        QImage img(QString::fromStdString((dir / png).string()));
        EXPECT_FALSE(img.isNull()) << png;
        EXPECT_NE(out.find(fmt::format("dibujo: {} ({}×{} px)", (dir / png).string(), img.width(), img.height())), std::string::npos) << out;
    }
    EXPECT_FALSE(fs::exists(dir / "prueba.mp4"));
}

TEST(DesktopRecorderCheck, RecordTestOfAWindowWithInput)
{
    TempHome home;
    const fs::path dir = home.path() / "prueba";
    const auto [out, err] = run_check(home.path(), { "--record-test", QString::fromStdString(dir.string()) },
        { { "VISTROPE_RECORD_WINDOW", "1" }, { "VISTROPE_RECORD_INPUT", "1" }, { "VISTROPE_RECORD_COUNTDOWN", "abc" } });
    EXPECT_NE(err.find("prueba: ventanas de clics visibles tras detener: 0"), std::string::npos) << err;
    EXPECT_NE(err.find("prueba: videos [\"Vistrope "), std::string::npos) << err;
    EXPECT_NE(err.find(".mp4\"], sigue activa=false"), std::string::npos) << err;
    std::vector<fs::path> mp4;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".mp4")
            mp4.push_back(e.path());
    ASSERT_EQ(mp4.size(), 1u);
    const Seen seen = look_at(mp4[0]);
    // Panel A alone, uncovered: magenta fills the frames and the green panel over it is not there.
    EXPECT_GT(seen.magenta_frames, seen.frames / 2);
    EXPECT_EQ(seen.green_frames, 0);
    EXPECT_GT(seen.blue_frames, 0);
    EXPECT_GT(seen.pill_frames, 0);
}

TEST(DesktopRecorderCheck, SwitchesEndWithStatusZeroOnlyWhenTheyDidTheirWork)
{
    TempHome home;
    // A folder below a plain file can never be made.
    write_file(home.path() / "archivo", "x");
    const QString nowhere = QString::fromStdString((home.path() / "archivo" / "carpeta").string());
    int status = -1;
    auto [out, err] = run_check(home.path(), { "--debug-recorder", nowhere }, {}, &status);
    EXPECT_EQ(status, 1) << out << err;
    EXPECT_NE(err.find("vistrope: no puedo escribir en " + nowhere.toStdString() + ": "), std::string::npos) << err;
    std::tie(out, err) = run_check(home.path(), { "--record-test", nowhere }, {}, &status);
    EXPECT_EQ(status, 1) << out << err;
    // Said at once, before the run begins anything: one line, nothing captured.
    for (const char* name : { "--selftest", "--scroll-test", "--video-ui", "--prefs-render" }) {
        QStringList args { name };
        if (std::string_view(name) == "--video-ui")
            args << QString::fromStdString((home.path() / "no.mp4").string());
        args << nowhere;
        std::tie(out, err) = run_check(home.path(), args, {}, &status);
        EXPECT_EQ(status, 1) << name << "\n" << out << err;
        EXPECT_EQ(err.rfind("vistrope: no puedo escribir en " + nowhere.toStdString() + ": ", 0), 0u) << name << "\n" << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << name << "\n" << err;
    }

    // Beside a running instance a self-check that needs the desktop says so.
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("listo")) << program.err();
    const QString folder = QString::fromStdString((home.path() / "prueba").string());
    for (const char* name : { "--record-test", "--selftest", "--scroll-test" }) {
        std::tie(out, err) = run_check(home.path(), { name, folder }, {}, &status);
        EXPECT_EQ(status, 1) << name << "\n" << err;
        EXPECT_NE(err.find(fmt::format("Vistrope ya está abierto; ciérralo para ejecutar {}", name)), std::string::npos) << err;
    }
    std::tie(out, err) = run_check(home.path(), { "--video-ui", QString::fromStdString((home.path() / "no.mp4").string()) }, {}, &status);
    EXPECT_EQ(status, 1) << err;
    EXPECT_NE(err.find("Vistrope ya está abierto; ciérralo para ejecutar --video-ui"), std::string::npos) << err;
}

// A FIFO given as the video is refused before anything reads it: nobody
// writes to it, and a read would block the program (and, in --video-ui, its
// main thread, signals included) for good.
TEST(DesktopRecorderCheck, GifAndVideoUiRefuseAFifoAtOnce)
{
    TempHome home;
    const fs::path fifo = home.path() / "tuberia.mp4";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const QString video = QString::fromStdString(fifo.string());
    for (const QStringList& args : { QStringList { "--gif", video, QString::fromStdString((home.path() / "salida.gif").string()) },
             QStringList { "--video-ui", video, QString::fromStdString((home.path() / "comprobar").string()) } }) {
        int status = -1;
        const auto [out, err] = run_check(home.path(), args, {}, &status);
        EXPECT_EQ(status, 1) << args.first().toStdString() << "\n" << err;
        EXPECT_NE(err.find(fmt::format("no pude leer {}: no es un archivo normal", fifo.string())), std::string::npos) << err;
    }
    EXPECT_FALSE(fs::exists(home.path() / "salida.gif"));
}


namespace {

// A server of the test's own, started for one test and killed when the test
// says (or at its end): a private Xvfb, a private PulseAudio.
class OwnServer {
public:
    ~OwnServer() { kill(); }
    bool start(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, args);
        return m_process.waitForStarted(5000);
    }
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
};

// xdotool on another display.
void xdo_on(const QString& display, const QStringList& args)
{
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start("xdotool", args);
    p.waitForFinished(5000);
    QThread::msleep(40);
}

} // namespace

// The sound server killed in the middle of a recording: the video goes on
// silent from the cut, and the toast says so with when, where before it
// said only "saved".
TEST_F(DesktopRecorder, ASoundServerKilledMidRecordingIsSaidInTheToast)
{
    if (QStandardPaths::findExecutable("pulseaudio").isEmpty())
        GTEST_SKIP() << "sin pulseaudio";
    const fs::path run = m_home.path() / "pulso";
    fs::create_directories(run);
    fs::permissions(run, fs::perms::owner_all);
    const QString socket = QString::fromStdString((run / "pulse.sock").string());
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(run.string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(run.string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((run / "config").string()));
    env.remove("PULSE_SERVER");
    // Off the session's bus, where the session's own server holds the name.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    OwnServer pulse;
    ASSERT_TRUE(pulse.start("pulseaudio", { "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false", "--disallow-exit",
                                              "-L", "module-native-protocol-unix socket=" + socket, "-L", "module-null-sink sink_name=propio" },
        env));
    ASSERT_TRUE(poll([&] { return fs::exists(run / "pulse.sock"); }, 100));

    write_file(m_home.path() / ".config/vistrope/config.toml",
        fmt::format("save_dir = \"{}\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n"
                    "copy_to_clipboard = false\n[recording]\ncountdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\n",
            (m_home.path() / "capturas").string()));
    QProcessEnvironment extra;
    extra.insert("PULSE_SERVER", "unix:" + socket);
    m_program.emplace(m_home.path(), Program::FirstRun::Done, extra);
    ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    QThread::msleep(2200);
    pulse.kill();
    ASSERT_TRUE(m_program->wait_for("el sonido del sistema se cortó", 10)) << m_program->err();
    QThread::msleep(1500);
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("aviso: Grabación guardada", 20)) << m_program->err();
    m_program->wait_for("\n", 1);
    const std::string& err = m_program->err();
    const std::string said = err.substr(err.find("aviso: Grabación guardada"), err.find('\n', err.find("aviso: Grabación guardada")) - err.find("aviso: Grabación guardada"));
    EXPECT_TRUE(said.find(" · sin sonido del sistema desde 00:0") != std::string::npos) << said;
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << err;
    EXPECT_GT(probed_duration(mp4[0]), 3.0);
}

// The X server gone in the middle of a recording (a display of the test's
// own): the program ends as at a SIGTERM, the recording stopped, sealed and
// published under its own name, and says why in its log; the next launch
// finds nothing to recover.
TEST_F(DesktopRecorder, TheDisplayGoneMidRecordingStopsAndSealsIt)
{
    const fs::path number = m_home.path() / "pantalla";
    OwnServer x;
    ASSERT_TRUE(x.start("sh", { "-c", QString("exec Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp +extension Composite +extension RANDR "
                                              "+extension MIT-SHM 3>'%1'").arg(QString::fromStdString(number.string())) }));
    std::string display;
    ASSERT_TRUE(poll([&] {
        display = read_file(number);
        return !display.empty() && display.back() == '\n';
    }, 100));
    const QString on = ":" + QString::fromStdString(display).trimmed();
    // The number comes as the server picks it; the program starts once the
    // server answers a client, as the test session waits for its own. The
    // server never resets when its last client leaves (the probe): a
    // program connecting while it resets finds no display.
    ASSERT_TRUE(poll([&] {
        QProcess probe;
        probe.start("xdpyinfo", { "-display", on });
        return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    }, 100)) << "the display " << on.toStdString() << " never answered";

    write_file(m_home.path() / ".config/vistrope/config.toml",
        fmt::format("save_dir = \"{}\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n"
                    "copy_to_clipboard = false\n[recording]\ncountdown_seconds = 0\nshow_clicks = false\n",
            (m_home.path() / "capturas").string()));
    QProcessEnvironment extra;
    extra.insert("DISPLAY", on);
    m_program.emplace(m_home.path(), Program::FirstRun::Done, extra);
    ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("selector visible")) << m_program->err();
    QThread::msleep(600);
    xdo_on(on, { "mousemove", "600", "400" });
    xdo_on(on, { "key", "Return" });
    ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
    QThread::msleep(2500);
    x.kill();
    ASSERT_TRUE(m_program->process().waitForFinished(10000)) << m_program->err();
    m_program->wait_for("", 0);
    const std::string& err = m_program->err();
    EXPECT_NE(err.find("se perdió la conexión con el servidor X"), std::string::npos) << err;
    EXPECT_NE(err.find("grabación guardada al salir en"), std::string::npos) << err;
    const auto names = names_in(m_home.path() / "capturas");
    ASSERT_EQ(names.size(), 1u) << err;
    EXPECT_TRUE(names[0].starts_with("Vistrope ") && names[0].ends_with(".mp4") && names[0].find("(") == std::string::npos) << names[0];
    EXPECT_GT(probed_duration(m_home.path() / "capturas" / names[0]), 1.5);

    m_program.emplace(m_home.path());
    ASSERT_TRUE(m_program->wait_for("grabaciones interrumpidas: 0 recuperadas, 0 dejadas", 30)) << m_program->err();
}

// SIGKILL at moments 0–240 ms after "stop", many of them while the stopped
// recording's fragments are being copied into a regular MP4 (two
// temporaries of one recording then stand). Whatever the moment, that
// recording ends as one file, published or recovered, said at most once.
TEST_F(DesktopRecorder, AKillRightAfterTheStopGivesOneFile)
{
    // Something that moves, so the file takes a moment to copy.
    QProcess gears;
    gears.start("glxgears", { "-geometry", "600x500+150+100" });
    ASSERT_TRUE(gears.waitForStarted(5000));
    struct Stop {
        QProcess& p;
        ~Stop()
        {
            p.kill();
            p.waitForFinished(2000);
        }
    } stop_gears { gears };
    int both = 0; // kills that left both files of the recording
    const int after[] = { 0, 20, 40, 60, 90, 120, 170, 240 }; // ms from the stop's log line
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        if (round == 0) {
            start("countdown_seconds = 0\nshow_clicks = false\n");
        } else {
            m_program.emplace(m_home.path());
            ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
        }
        const std::size_t before = files(".mp4").size();
        record_area("vistrope://record-screen", 120, 80, 921, 681);
        ASSERT_TRUE(m_program->wait_for("grabando", 20)) << m_program->err();
        QThread::msleep(3000);
        // The stop's request is not waited for: the kill follows the
        // program's own word that it stops.
        QProcess second;
        launch_second(second, "vistrope://record-screen");
        ASSERT_TRUE(m_program->wait_for("deteniendo", 20)) << m_program->err();
        QThread::msleep(static_cast<unsigned long>(after[round]));
        signal_program(SIGKILL, 5000);
        second.waitForFinished(10000);

        m_program.emplace(m_home.path());
        ASSERT_TRUE(m_program->wait_for("grabaciones interrumpidas:", 30)) << m_program->err();
        m_program->wait_for("\n", 1);
        const std::string& err = m_program->err();
        both += err.find("quité la otra copia") != std::string::npos;
        std::printf("kill %d ms after the stop: %s\n", after[round],
            err.find("quité la otra copia") != std::string::npos ? "both files stood, one published"
                : err.find("recuperada en") != std::string::npos  ? "recovered from its fragments"
                                                                  : "already published");
        EXPECT_EQ(files(".mp4").size(), before + 1) << err;
        for (const auto& n : names_in(m_home.path() / "capturas"))
            EXPECT_FALSE(n.starts_with(".")) << n << "\n" << err;
        const auto first = err.find("Se recuperó una grabación interrumpida");
        EXPECT_TRUE(first == std::string::npos || err.find("Se recuperó una grabación interrumpida", first + 1) == std::string::npos) << err;
        signal_program(SIGTERM, 8000);
    }
    std::printf("kill right after the stop: %d of 8 kills left both files of the recording\n", both);
}

// A temporary of ours with nothing playable in it is moved aside at the
// next launch, and that launch says so once, naming where it went.
TEST_F(DesktopRecorder, AnUnplayableLeftoverIsSetAsideAndSaidOnce)
{
    const fs::path folder = m_home.path() / "capturas";
    write_file(folder / ".Vistrope 2026-01-05 a las 09.03.07.mp4.aB3dE9", "nada que ver aquí");
    write_file(folder / ".Vistrope notes.mp4.backup", "del usuario");
    start("countdown_seconds = 0\n");
    ASSERT_TRUE(m_program->wait_for("aviso: Una grabación interrumpida no se puede reproducir: quedó en ~/.local/state/vistrope/unplayable", 30))
        << m_program->err();
    EXPECT_TRUE(fs::exists(m_home.path() / ".local/state/vistrope/unplayable/.Vistrope 2026-01-05 a las 09.03.07.mp4.aB3dE9"));
    EXPECT_EQ(read_file(folder / ".Vistrope notes.mp4.backup"), "del usuario");
    signal_program(SIGTERM, 8000);
    m_program.emplace(m_home.path());
    ASSERT_TRUE(m_program->wait_for("grabaciones interrumpidas: 0 recuperadas, 0 dejadas", 30)) << m_program->err();
    EXPECT_EQ(m_program->err().find("no se puede reproducir"), std::string::npos) << m_program->err();
    EXPECT_EQ(read_file(folder / ".Vistrope notes.mp4.backup"), "del usuario");
}
