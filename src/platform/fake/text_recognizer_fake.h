// platform: a recogniser for tests that returns what it is told to.
#pragma once

#include "platform/text_recognizer.h"

#include <atomic>
#include <mutex>

namespace platform {

class TextRecognizerFake final : public TextRecognizer {
public:
    // What recognize() returns, or the failure it reports.
    void set_result(Recognition result);
    void set_failure(std::string message);
    void set_languages(std::vector<std::string> languages);

    std::vector<std::string> supported_languages() override;
    std::expected<Recognition, std::string> recognize(const QImage& image,
                                                      const std::vector<std::string>& languages) override;
    void prepare(const std::vector<std::string>& languages) override;
    void release_idle() override { ++m_releases; }

    int calls() const { return m_calls.load(); }
    int prepares() const { return m_prepares.load(); }
    int releases() const { return m_releases.load(); }
    // The size and languages of the last image recognised.
    QSize last_size() const;
    std::vector<std::string> last_languages() const;

private:
    mutable std::mutex m_mutex;
    Recognition m_result;
    std::string m_failure;
    std::vector<std::string> m_languages { "es-ES", "en-US" };
    QSize m_last_size;
    std::vector<std::string> m_last_languages;
    std::atomic<int> m_calls { 0 };
    std::atomic<int> m_prepares { 0 };
    std::atomic<int> m_releases { 0 };
};

} // namespace platform
