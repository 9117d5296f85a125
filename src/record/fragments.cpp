#include "record/fragments.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <string_view>

namespace recorder {

namespace {

std::uint64_t big_endian(const std::uint8_t* p, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

// A box inside a box read whole: where it starts and its payload, as offsets into the parent's bytes.
struct Inner {
    std::string_view type;
    std::size_t at = 0;
    std::size_t payload = 0;
    std::size_t end = 0;
};

// The boxes in bytes [from, to) of `data`; nothing when one runs past.
std::optional<std::vector<Inner>> inner_boxes(std::span<const std::uint8_t> data, std::size_t from, std::size_t to)
{
    std::vector<Inner> boxes;
    while (from < to) {
        if (to - from < 8)
            return std::nullopt;
        std::uint64_t size = big_endian(data.data() + from, 4);
        std::size_t header = 8;
        if (size == 1) {
            if (to - from < 16)
                return std::nullopt;
            size = big_endian(data.data() + from + 8, 8);
            header = 16;
        }
        if (size < header || size > to - from)
            return std::nullopt;
        boxes.push_back({ std::string_view(reinterpret_cast<const char*>(data.data() + from + 4), 4), from, from + header,
            from + static_cast<std::size_t>(size) });
        from += static_cast<std::size_t>(size);
    }
    return boxes;
}

const Inner* find_box(const std::vector<Inner>& boxes, std::string_view type)
{
    const auto it = std::ranges::find(boxes, type, &Inner::type);
    return it == boxes.end() ? nullptr : &*it;
}

// Reads big-endian fields of a payload in order; `ok` turns false past its end.
struct Fields {
    std::span<const std::uint8_t> data;
    std::size_t at;
    std::size_t end;
    bool ok = true;
    std::uint64_t take(int n)
    {
        if (!ok || end - at < static_cast<std::size_t>(n)) {
            ok = false;
            return 0;
        }
        const std::uint64_t v = big_endian(data.data() + at, n);
        at += static_cast<std::size_t>(n);
        return v;
    }
    void skip(std::size_t n)
    {
        if (!ok || end - at < n)
            ok = false;
        else
            at += n;
    }
};

struct Track {
    std::uint32_t id = 0;
    std::uint32_t timescale = 0;
    bool sound = false;
    bool ahead = false;
    std::uint64_t trak = 0; // the file offset of its box
    std::uint64_t trex = 0; // of its defaults' box; 0: none
    std::uint32_t duration = 0, size = 0; // the defaults
};

// One sample of a fragment: its decode time, where its bytes are, its length.
struct Sample {
    std::uint64_t time = 0;
    std::uint64_t at = 0;
    std::uint32_t size = 0;
    std::uint32_t duration = 0;
};

void put(std::vector<std::uint8_t>& out, std::uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Writes a box's header with its size left for close_box.
std::size_t open_box(std::vector<std::uint8_t>& out, const char* type)
{
    const std::size_t at = out.size();
    put(out, 0, 4);
    out.insert(out.end(), type, type + 4);
    return at;
}

void close_box(std::vector<std::uint8_t>& out, std::size_t at)
{
    const std::uint64_t size = out.size() - at;
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * (3 - i)));
}

} // namespace

FragmentScan scan_fragments(std::uint64_t size, const ReadAt& read)
{
    FragmentScan scan;
    std::uint64_t at = 0;
    bool in_fragment = false; // a moof whose mdat has not come yet
    while (size - at >= 8) {
        std::array<std::uint8_t, 16> head {};
        if (!read(at, std::span(head).first(8)))
            break;
        std::uint64_t box = big_endian(head.data(), 4);
        std::uint64_t header = 8;
        if (box == 1) {
            if (size - at < 16 || !read(at + 8, std::span(head).subspan(8, 8)))
                break;
            box = big_endian(head.data() + 8, 8);
            header = 16;
        }
        if (box < header || box > size - at)
            break; // 0 ("to the end"), too small, or cut short
        const std::string_view type(reinterpret_cast<const char*>(head.data() + 4), 4);
        at += box;
        if (type == "moov") {
            scan.header = true;
            scan.whole = at;
        } else if (type == "moof") {
            in_fragment = true;
        } else if (type == "mdat") {
            if (in_fragment)
                ++scan.fragments;
            else
                scan.regular = true;
            in_fragment = false;
            scan.whole = at;
        } else if (!in_fragment) {
            scan.whole = at; // ftyp, free, the random-access index at the end
        }
    }
    return scan;
}

std::optional<SoundJoin> plan_sound_join(std::uint64_t size, const ReadAt& read, std::string_view ahead_handler)
{
    // Index boxes past this are not our writer's.
    constexpr std::uint64_t MOST_INDEX = 256ull << 20;
    std::vector<Track> tracks;
    std::vector<std::uint8_t> bytes;
    const auto read_box = [&](std::uint64_t at, std::uint64_t length) {
        if (length > MOST_INDEX)
            return false;
        bytes.resize(static_cast<std::size_t>(length));
        return read(at, bytes);
    };
    const auto track = [&](std::uint32_t id) -> Track* {
        const auto it = std::ranges::find(tracks, id, &Track::id);
        return it == tracks.end() ? nullptr : &*it;
    };
    // The tracks, from the header.
    const auto read_header = [&](std::uint64_t at) {
        const auto top = inner_boxes(bytes, 8, bytes.size());
        if (!top)
            return false;
        for (const Inner& box : *top) {
            if (box.type != "trak" && box.type != "mvex")
                continue;
            const auto in = inner_boxes(bytes, box.payload, box.end);
            if (!in)
                return false;
            if (box.type == "trak") {
                Track t;
                t.trak = at + box.at;
                const Inner* tkhd = find_box(*in, "tkhd");
                const Inner* mdia = find_box(*in, "mdia");
                if (!tkhd || !mdia)
                    return false;
                Fields f { bytes, tkhd->payload, tkhd->end };
                f.skip(f.take(1) == 1 ? 19 : 11);
                t.id = static_cast<std::uint32_t>(f.take(4));
                const auto media = inner_boxes(bytes, mdia->payload, mdia->end);
                const Inner* mdhd = media ? find_box(*media, "mdhd") : nullptr;
                const Inner* hdlr = media ? find_box(*media, "hdlr") : nullptr;
                if (!f.ok || !mdhd || !hdlr)
                    return false;
                Fields m { bytes, mdhd->payload, mdhd->end };
                m.skip(m.take(1) == 1 ? 19 : 11);
                t.timescale = static_cast<std::uint32_t>(m.take(4));
                Fields h { bytes, hdlr->payload, hdlr->end };
                h.skip(8);
                t.sound = h.take(4) == 0x736f756e; // "soun"
                h.skip(12);
                if (!m.ok || !h.ok)
                    return false;
                const std::string_view name(reinterpret_cast<const char*>(bytes.data() + h.at), h.end - h.at);
                t.ahead = name.find(ahead_handler) != std::string_view::npos;
                tracks.push_back(t);
            } else if (box.type == "mvex") {
                for (const Inner& trex : *in) {
                    if (trex.type != "trex")
                        continue;
                    Fields f { bytes, trex.payload, trex.end };
                    f.skip(4);
                    const auto id = static_cast<std::uint32_t>(f.take(4));
                    f.skip(4);
                    const auto duration = static_cast<std::uint32_t>(f.take(4));
                    const auto sample_size = static_cast<std::uint32_t>(f.take(4));
                    Track* t = track(id);
                    if (!f.ok || !t)
                        return false;
                    t->trex = at + trex.at;
                    t->duration = duration;
                    t->size = sample_size;
                }
            }
        }
        return true;
    };

    SoundJoin join;
    const Track* kept = nullptr;
    const Track* ahead = nullptr;
    std::optional<std::uint64_t> kept_end;
    std::vector<Sample> ahead_samples;
    std::uint64_t sequence = 0;
    // A fragment's index: the kept sound's end and the ahead sound's samples.
    const auto read_fragment = [&](std::uint64_t at) {
        const auto top = inner_boxes(bytes, 8, bytes.size());
        if (!top)
            return false;
        std::uint64_t data_end = at; // where the previous track fragment's data ended
        bool first = true;
        for (const Inner& box : *top) {
            if (box.type == "mfhd") {
                Fields f { bytes, box.payload, box.end };
                f.skip(4);
                sequence = std::max(sequence, f.take(4));
                continue;
            }
            if (box.type != "traf")
                continue;
            const auto in = inner_boxes(bytes, box.payload, box.end);
            const Inner* tfhd = in ? find_box(*in, "tfhd") : nullptr;
            if (!tfhd)
                return false;
            Fields f { bytes, tfhd->payload, tfhd->end };
            const auto flags = static_cast<std::uint32_t>(f.take(4) & 0xffffff);
            const Track* t = track(static_cast<std::uint32_t>(f.take(4)));
            std::uint64_t base = (flags & 0x020000) || first ? at : data_end;
            if (flags & 0x1)
                base = f.take(8);
            if (flags & 0x2)
                f.skip(4);
            std::uint32_t duration = t ? t->duration : 0, sample_size = t ? t->size : 0;
            if (flags & 0x8)
                duration = static_cast<std::uint32_t>(f.take(4));
            if (flags & 0x10)
                sample_size = static_cast<std::uint32_t>(f.take(4));
            if (!f.ok || !t)
                return false;
            first = false;
            std::optional<std::uint64_t> time;
            if (const Inner* tfdt = find_box(*in, "tfdt")) {
                Fields d { bytes, tfdt->payload, tfdt->end };
                time = d.take(d.take(4) >> 24 == 1 ? 8 : 4);
                if (!d.ok)
                    return false;
            }
            std::uint64_t next = base;
            bool first_run = true;
            for (const Inner& trun : *in) {
                if (trun.type != "trun")
                    continue;
                Fields r { bytes, trun.payload, trun.end };
                const auto run_flags = static_cast<std::uint32_t>(r.take(4) & 0xffffff);
                const std::uint64_t count = r.take(4);
                if (run_flags & 0x1)
                    next = base + static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(r.take(4))));
                else if (first_run)
                    next = base;
                first_run = false;
                if (run_flags & 0x4)
                    r.skip(4);
                // Every sample takes its fields from the run or bytes from the
                // file: a count past either is damage, not a run to walk.
                const std::uint64_t fields = 4 * static_cast<std::uint64_t>(std::popcount(run_flags & 0xf00));
                if (!r.ok || (fields > 0 ? count > (r.end - r.at) / fields : (count > 0 && (sample_size == 0 || count > size / sample_size))))
                    return false;
                for (std::uint64_t i = 0; i < count && r.ok; ++i) {
                    Sample s { time.value_or(0), next, sample_size, duration };
                    if (run_flags & 0x100)
                        s.duration = static_cast<std::uint32_t>(r.take(4));
                    if (run_flags & 0x200)
                        s.size = static_cast<std::uint32_t>(r.take(4));
                    if (run_flags & 0x400)
                        r.skip(4);
                    if (run_flags & 0x800)
                        r.skip(4);
                    if (t == ahead)
                        ahead_samples.push_back(s);
                    next += s.size;
                    if (time)
                        *time += s.duration;
                }
                if (!r.ok)
                    return false;
            }
            data_end = next;
            // Where each sound sample lies in time comes from the fragment's decode time, which our writer always gives.
            if ((t == kept || t == ahead) && !time)
                return false;
            if (t == kept)
                kept_end = std::max(kept_end.value_or(0), *time);
            if (t == ahead)
                join.dropped.push_back(at + box.at + 4);
        }
        return true;
    };

    std::uint64_t at = 0;
    while (at < size) {
        std::array<std::uint8_t, 16> head {};
        if (size - at < 8 || !read(at, std::span(head).first(8)))
            return std::nullopt;
        std::uint64_t box = big_endian(head.data(), 4);
        if (box == 1) {
            if (size - at < 16 || !read(at + 8, std::span(head).subspan(8, 8)))
                return std::nullopt;
            box = big_endian(head.data() + 8, 8);
        }
        if (box < 8 || box > size - at)
            return std::nullopt;
        const std::string_view type(reinterpret_cast<const char*>(head.data() + 4), 4);
        if (type == "moov") {
            if (!tracks.empty() || !read_box(at, box) || !read_header(at))
                return std::nullopt;
            for (const Track& t : tracks) {
                if (t.sound && (t.ahead ? ahead : kept))
                    return std::nullopt; // more sound tracks than ours
                if (t.sound)
                    (t.ahead ? ahead : kept) = &t;
            }
            if (!kept || !ahead || !ahead->trex || kept->timescale == 0 || kept->timescale != ahead->timescale)
                return std::nullopt;
        } else if (type == "moof") {
            if (!kept || !read_box(at, box) || !read_fragment(at))
                return std::nullopt;
        }
        at += box;
    }
    if (!kept)
        return std::nullopt;

    const std::uint64_t from = kept_end.value_or(0);
    std::uint64_t to = from;
    std::vector<Sample> tail;
    for (const Sample& s : ahead_samples) {
        if (s.time < from)
            continue;
        // The ahead sound runs without a gap; a sample where it is not gives up.
        if (s.at > size || s.size > size - s.at || (!tail.empty() && s.time != tail.back().time + tail.back().duration))
            return std::nullopt;
        tail.push_back(s);
        to = s.time + s.duration;
    }
    join.kept_end = static_cast<double>(from) / kept->timescale;
    join.ahead_end = static_cast<double>(to) / kept->timescale;
    join.dropped.push_back(ahead->trex + 4);
    join.dropped.push_back(ahead->trak + 4);
    if (tail.empty())
        return join;

    // The added fragment: the kept track's samples from the ahead sound's,
    // each run of them that lies together in the file one run of the index.
    std::vector<std::uint8_t>& out = join.appended;
    const std::size_t moof = open_box(out, "moof");
    put(out, 16, 4);
    out.insert(out.end(), { 'm', 'f', 'h', 'd' });
    put(out, 0, 4);
    put(out, sequence + 1, 4);
    const std::size_t traf = open_box(out, "traf");
    put(out, 28, 4);
    out.insert(out.end(), { 't', 'f', 'h', 'd' });
    put(out, 0x000001 | 0x000020, 4); // the base offset and the samples' flags given
    put(out, kept->id, 4);
    put(out, tail.front().at, 8);
    put(out, 0x02000000, 4); // each sample stands alone, as sound does
    put(out, 20, 4);
    out.insert(out.end(), { 't', 'f', 'd', 't' });
    put(out, 0x01000000, 4);
    put(out, tail.front().time, 8);
    for (std::size_t i = 0; i < tail.size();) {
        std::size_t j = i + 1;
        while (j < tail.size() && tail[j].at == tail[j - 1].at + tail[j - 1].size)
            ++j;
        const std::uint64_t offset = tail[i].at - tail.front().at;
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            return std::nullopt;
        const std::size_t trun = open_box(out, "trun");
        put(out, 0x000001 | 0x000100 | 0x000200, 4);
        put(out, j - i, 4);
        put(out, offset, 4);
        for (; i < j; ++i) {
            put(out, tail[i].duration, 4);
            put(out, tail[i].size, 4);
        }
        close_box(out, trun);
    }
    close_box(out, traf);
    close_box(out, moof);
    // An empty data box after it: the fragment is whole to whoever reads the file's boxes.
    put(out, 8, 4);
    out.insert(out.end(), { 'm', 'd', 'a', 't' });
    return join;
}

} // namespace recorder
