#include "platform/digest.h"

#include <openssl/evp.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

Context sha256_context()
{
    Context c(EVP_MD_CTX_new());
    if (!c || EVP_DigestInit_ex(c.get(), EVP_sha256(), nullptr) != 1)
        return nullptr;
    return c;
}

std::string finish_hex(EVP_MD_CTX* c)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(c, md, &length);
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(HEX[md[i] >> 4]);
        out.push_back(HEX[md[i] & 15]);
    }
    return out;
}

} // namespace

std::string sha256_hex(std::string_view bytes)
{
    Context c = sha256_context();
    if (!c)
        return {};
    EVP_DigestUpdate(c.get(), bytes.data(), bytes.size());
    return finish_hex(c.get());
}

std::expected<std::string, std::string> sha256_file(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(fmt::format("no pude abrir {}: {}", path.string(), std::strerror(errno)));
    // Sequential reads of the whole file: tell the kernel to read ahead.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Context c = sha256_context();
    if (!c) {
        ::close(fd);
        return std::unexpected(std::string("SHA-256 no está disponible"));
    }
    std::vector<unsigned char> block(1 << 20);
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            return std::unexpected(fmt::format("no pude leer {}: {}", path.string(), std::strerror(error)));
        }
        EVP_DigestUpdate(c.get(), block.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    return finish_hex(c.get());
}

} // namespace platform
