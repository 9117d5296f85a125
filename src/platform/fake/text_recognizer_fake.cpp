#include "platform/fake/text_recognizer_fake.h"

namespace platform {

void TextRecognizerFake::set_result(Recognition result)
{
    std::lock_guard lock(m_mutex);
    m_result = std::move(result);
    m_failure.clear();
}

void TextRecognizerFake::set_failure(std::string message)
{
    std::lock_guard lock(m_mutex);
    m_failure = std::move(message);
}

void TextRecognizerFake::set_languages(std::vector<std::string> languages)
{
    std::lock_guard lock(m_mutex);
    m_languages = std::move(languages);
}

std::vector<std::string> TextRecognizerFake::supported_languages()
{
    std::lock_guard lock(m_mutex);
    return m_languages;
}

std::expected<Recognition, std::string> TextRecognizerFake::recognize(const QImage& image,
                                                                      const std::vector<std::string>& languages)
{
    ++m_calls;
    std::lock_guard lock(m_mutex);
    m_last_size = image.size();
    m_last_languages = languages;
    if (!m_failure.empty())
        return std::unexpected(m_failure);
    return m_result;
}

void TextRecognizerFake::prepare(const std::vector<std::string>&)
{
    ++m_prepares;
}

QSize TextRecognizerFake::last_size() const
{
    std::lock_guard lock(m_mutex);
    return m_last_size;
}

std::vector<std::string> TextRecognizerFake::last_languages() const
{
    std::lock_guard lock(m_mutex);
    return m_last_languages;
}

} // namespace platform
