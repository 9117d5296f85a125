// libFuzzer target: the single instance's request reader, over any bytes a
// local client may send, cut into pieces of any size. Built and run by
// scripts/fuzz.
//
// Besides the sanitizers, the target stops on any broken promise:
//   - the requests and the overflow do not depend on how the bytes were cut;
//   - they are what a plain reading byte by byte finds: URL lines up to an
//     empty line, at most MAX_URLS kept (the rest counted), no request past
//     MAX_REQUEST_BYTES (then nothing more is served);
//   - the requests, sent again as the front sends them, read back the same;
//   - the command line's links never carry a raw line break.
#include "platform/instance.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using platform::Request;
using platform::RequestReader;

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

struct Read {
    std::vector<Request> requests;
    bool overflowed = false;
};

bool same(const Read& a, const Read& b)
{
    if (a.overflowed != b.overflowed || a.requests.size() != b.requests.size())
        return false;
    for (size_t i = 0; i < a.requests.size(); ++i)
        if (a.requests[i].urls != b.requests[i].urls || a.requests[i].dropped != b.requests[i].dropped)
            return false;
    return true;
}

// Feeds `bytes` in pieces whose sizes come from `cuts` (1 to 256 bytes each,
// the whole at once when there are none).
Read read_in_pieces(std::string_view bytes, std::string_view cuts)
{
    RequestReader reader;
    Read out;
    size_t next_cut = 0;
    while (!bytes.empty()) {
        size_t take = bytes.size();
        if (!cuts.empty())
            take = std::min<size_t>(take, static_cast<unsigned char>(cuts[next_cut++ % cuts.size()]) + 1);
        for (auto& r : reader.feed(bytes.substr(0, take)))
            out.requests.push_back(std::move(r));
        bytes.remove_prefix(take);
    }
    out.overflowed = reader.overflowed();
    return out;
}

// The same rules, byte by byte, as plainly as they can be said.
Read read_plainly(std::string_view bytes)
{
    Read out;
    Request current;
    std::string line;
    size_t count = 0;
    for (const char c : bytes) {
        if (++count > RequestReader::MAX_REQUEST_BYTES) {
            out.overflowed = true;
            break;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.empty()) {
            out.requests.push_back(std::move(current));
            current = {};
            count = 0;
        } else if (current.urls.size() < RequestReader::MAX_URLS) {
            current.urls.push_back(line);
        } else {
            ++current.dropped;
        }
        line.clear();
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    // The first byte says how many of the next bytes are the cuts.
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t cut_bytes = 0;
    if (!input.empty()) {
        cut_bytes = std::min<size_t>(static_cast<unsigned char>(input[0]) % 16, input.size() - 1);
        input.remove_prefix(1);
    }
    const std::string_view cuts = input.substr(0, cut_bytes);
    const std::string_view bytes = input.substr(cut_bytes);

    const Read whole = read_in_pieces(bytes, {});
    check(same(whole, read_in_pieces(bytes, cuts)), "the requests depend on how the bytes were cut");
    check(same(whole, read_plainly(bytes)), "the reader differs from the plain reading");
    for (const Request& r : whole.requests) {
        check(r.urls.size() <= RequestReader::MAX_URLS, "more URLs kept than a request may hold");
        size_t request_bytes = 1;
        for (const std::string& url : r.urls) {
            check(!url.empty() && url.find('\n') == std::string::npos, "a URL that is no single line");
            request_bytes += url.size() + 1;
        }
        check(request_bytes <= RequestReader::MAX_REQUEST_BYTES, "a request past the size limit was served");
        if (r.dropped == 0) {
            std::string again;
            for (const std::string& url : r.urls)
                again += url + "\n";
            again += "\n";
            const Read back = read_in_pieces(again, cuts);
            check(back.requests.size() == 1 && back.requests[0].urls == r.urls && !back.overflowed,
                "a request sent again reads differently");
        }
    }

    // The same bytes as a command line's arguments, cut at NUL bytes.
    std::vector<std::string> args { "vistrope" };
    for (size_t start = 0; start <= bytes.size();) {
        const size_t end = std::min(bytes.find('\0', start), bytes.size());
        args.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    for (const std::string& url : platform::scheme_urls(args)) {
        check(url.find_first_of("\r\n") == std::string::npos, "a link with a raw line break");
        if (platform::fits_in_request(url)) {
            const Read sent = read_in_pieces(url + "\n\n", {});
            check(sent.requests.size() == 1 && sent.requests[0].urls == std::vector<std::string> { url },
                "a link said to fit does not arrive whole");
        }
    }
    return 0;
}
