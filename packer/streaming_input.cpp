#include "packer/streaming_input.h"

#include "packer/pack_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace packer {

InputFile::InputFile(const std::string &path) : path_(path)
{
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (descriptor_ < 0 || ::fstat(descriptor_, &status) != 0)
        throw ReadError(path + ": " + std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        throw ReadError(path + ": not a regular file");
    size_ = static_cast<std::uint64_t>(status.st_size);
    // Read once, front to back: the kernel may read ahead and drop pages behind.
    ::posix_fadvise(descriptor_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

InputFile::~InputFile()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

void InputFile::ReadNext(std::uint8_t *buffer, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        ssize_t count = ::read(descriptor_, buffer + done, length - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw ReadError(path_ + ": " + std::strerror(errno));
        if (count == 0)
            throw ReadError(path_ + ": the file became shorter while it was packed");
        done += static_cast<std::size_t>(count);
    }
}

FileSummary SummarizeFile(const std::string &path)
{
    InputFile file(path);
    FileSummary summary{file.Size(), {}};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        throw PackError("SHA-256 is not available");
    std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
    for (std::uint64_t left = file.Size(); left > 0;) {
        std::size_t length = left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
        file.ReadNext(buffer.data(), length);
        EVP_DigestUpdate(context.get(), buffer.data(), length);
        left -= length;
    }
    EVP_DigestFinal_ex(context.get(), summary.digest.data(), nullptr);
    return summary;
}

} // namespace packer
