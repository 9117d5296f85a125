#include "platform/fake/media_fake.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

class SampleFake final : public VideoSample {
public:
    SampleFake(double time, std::uint32_t word, std::size_t width, std::size_t height, std::size_t padding, bool readable,
        std::size_t* conversions, std::mutex* mutex)
        : m_time(time), m_word(word), m_width(width), m_height(height), m_padding(padding), m_readable(readable)
        , m_conversions(conversions), m_mutex(mutex)
    {
    }
    double time() const override { return m_time; }
    std::optional<BgraView> bgra() override
    {
        {
            std::lock_guard lock(*m_mutex);
            ++*m_conversions;
        }
        if (!m_readable)
            return std::nullopt;
        const std::size_t stride = m_width * 4 + m_padding;
        m_bytes.assign(stride * m_height, 0xEE);
        for (std::size_t y = 0; y < m_height; ++y)
            for (std::size_t x = 0; x < m_width; ++x)
                std::memcpy(m_bytes.data() + y * stride + x * 4, &m_word, 4);
        return BgraView { m_bytes.data(), m_width, m_height, stride };
    }

private:
    double m_time;
    std::uint32_t m_word;
    std::size_t m_width, m_height, m_padding;
    bool m_readable;
    std::size_t* m_conversions;
    std::mutex* m_mutex;
    std::vector<std::uint8_t> m_bytes;
};

} // namespace

class FrameReaderFake final : public FrameReader {
public:
    FrameReaderFake(MediaFake& owner, double start, double length, std::uint32_t width, std::uint32_t height)
        : m_owner(owner), m_start(start), m_end(start + length), m_width(width), m_height(height)
    {
    }
    std::expected<std::unique_ptr<VideoSample>, std::string> next() override
    {
        const auto& s = m_owner.m_script;
        while (m_index < s.times.size()) {
            const std::size_t i = m_index++;
            if (s.fail_after && m_given >= *s.fail_after)
                return std::unexpected(std::string("falla inyectada"));
            const double t = s.times[i];
            if (t < m_start - 1e-9 || t >= m_end - 1e-9)
                continue;
            ++m_given;
            const std::size_t w = s.picture_width ? s.picture_width : m_width;
            const std::size_t h = s.picture_height ? s.picture_height : m_height;
            const bool readable = !(s.unreadable && *s.unreadable == i);
            return std::unique_ptr<VideoSample>(new SampleFake(t, MediaFake::SAMPLE_BASE | static_cast<std::uint32_t>(i & 0xFF), w, h,
                s.stride_padding, readable, &m_owner.m_conversions, &m_owner.m_mutex));
        }
        if (s.fail_after && m_given >= *s.fail_after)
            return std::unexpected(std::string("falla inyectada"));
        return std::unique_ptr<VideoSample>();
    }

private:
    MediaFake& m_owner;
    double m_start, m_end;
    std::uint32_t m_width, m_height;
    std::size_t m_index = 0;
    std::size_t m_given = 0;
};

MediaFake::MediaFake(Script script)
    : m_script(std::move(script))
{
}

std::vector<MediaFake::Opened> MediaFake::opened() const
{
    std::lock_guard lock(m_mutex);
    return m_opened;
}

std::size_t MediaFake::conversions() const
{
    std::lock_guard lock(m_mutex);
    return m_conversions;
}

std::vector<std::pair<std::filesystem::path, Mp4Options>> MediaFake::exports() const
{
    std::lock_guard lock(m_mutex);
    return m_exports;
}

std::expected<MediaProbe, std::string> MediaFake::probe(const std::filesystem::path&)
{
    if (!m_script.probe)
        return std::unexpected(std::string("el archivo no tiene video"));
    return *m_script.probe;
}

std::expected<std::unique_ptr<FrameReader>, std::string> MediaFake::open_frames(const std::filesystem::path&, double start,
    double length, std::uint32_t width, std::uint32_t height)
{
    {
        std::lock_guard lock(m_mutex);
        m_opened.push_back({ start, length, width, height });
    }
    return std::unique_ptr<FrameReader>(new FrameReaderFake(*this, start, length, width, height));
}

std::expected<QImage, std::string> MediaFake::thumbnail(const std::filesystem::path&, double)
{
    if (!m_script.thumbnail)
        return std::unexpected(std::string("sin miniatura"));
    return *m_script.thumbnail;
}

std::vector<std::filesystem::path> MediaFake::export_destinations() const
{
    std::lock_guard lock(m_mutex);
    return m_export_destinations;
}

ExportOutcome MediaFake::export_mp4(const std::filesystem::path& source, const std::filesystem::path& destination, const Mp4Options& options)
{
    std::lock_guard lock(m_mutex);
    m_exports.emplace_back(source, options);
    m_export_destinations.push_back(destination);
    return m_script.export_outcome;
}

std::expected<Written, std::string> MediaFake::measure(const std::filesystem::path&)
{
    std::lock_guard lock(m_mutex);
    if (m_script.written)
        return *m_script.written;
    const double duration = m_script.probe ? m_script.probe->duration : 0;
    const auto& range = m_exports.empty() ? std::nullopt : m_exports.back().second.range;
    const double seconds = range ? std::min(range->second, duration) - std::max(range->first, 0.0) : duration;
    return Written { std::llround(seconds * 30), seconds };
}

std::expected<std::vector<std::uint8_t>, std::string> MediaFake::write_gif(std::span<const GifFrameView>, std::uint32_t,
    std::uint32_t)
{
    return std::unexpected(std::string("sin escritor"));
}

} // namespace platform
