#include "packer/pipeline/streaming_input.h"

#include "packer/pack_error.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace packer {

InputFile::InputFile(const std::string &path) : path_(path), file_(host::ReadableFile::Open(path, size_)) {}

void InputFile::ReadNext(std::uint8_t *buffer, std::size_t length)
{
    for (std::size_t done = 0; done < length;) {
        std::size_t count = file_.Read(buffer + done, length - done, path_);
        if (count == 0)
            throw ReadError(path_ + ": the file became shorter while it was packed");
        done += count;
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
