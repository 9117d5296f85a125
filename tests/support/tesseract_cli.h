// The tesseract command line as a user runs it on a saved picture, which
// the recogniser's tests and its benchmark hold ours against: spa+eng, on
// one thread, as ours reads a crop with one engine.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <string>

namespace testing_support {

// What the command line reads of the PNG at `png`, and in `ms` how long it
// took; nothing when it did not run to its end: a reading it never made
// would leave ours nothing to be worse than. `extra` follows the languages
// (a configuration such as "tsv").
inline std::optional<std::string> tesseract_cli(const QString& png, double* ms = nullptr, const QStringList& extra = {})
{
    QProcess tesseract;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("OMP_THREAD_LIMIT", "1");
    tesseract.setProcessEnvironment(env);
    const auto t0 = std::chrono::steady_clock::now();
    tesseract.start("tesseract", QStringList { png, "stdout", "-l", "spa+eng" } + extra);
    const bool finished = tesseract.waitForFinished(120000);
    if (ms)
        *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!finished || tesseract.exitStatus() != QProcess::NormalExit || tesseract.exitCode() != 0)
        return std::nullopt;
    return tesseract.readAllStandardOutput().toStdString();
}

} // namespace testing_support
