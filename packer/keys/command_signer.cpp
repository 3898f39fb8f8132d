#include "packer/keys/command_signer.h"

#include "packer/host/host.h"
#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"

#include <condition_variable>
#include <mutex>

namespace packer {

namespace {

constexpr const char *DigestVariable = "LAUNCHER_PACK_DIGEST_HEX";
// More than a signature, to tell "too long" from "cut"; standard error is kept for its first line.
constexpr std::size_t OutputLimit = 4096;

std::string FirstLine(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

class CommandSigner : public PayloadSigner {
  public:
    CommandSigner(const std::string &command, EvpKeyHandle publicKey, const std::string &keyName, unsigned atOnce,
                  std::vector<std::string> withheld)
        : command_(command), publicKey_(std::move(publicKey)), keyName_(keyName), free_(atOnce == 0 ? 1 : atOnce),
          name_("--sign-command " + command), withheld_(std::move(withheld))
    {
        PublicKeyBlob(publicKey_.get(), keyName_);
    }

    Bytes SignDigest(const Sha256Digest &digest, const std::string &item) const override
    {
        host::CommandOutcome result;
        {
            std::unique_lock<std::mutex> lock(lock_);
            freed_.wait(lock, [&] { return free_ > 0; });
            --free_;
        }
        try {
            result = host::RunCommand(command_, Bytes(digest.begin(), digest.end()), DigestVariable,
                                      LowercaseHex(digest.data(), digest.size()), withheld_, OutputLimit);
        } catch (...) {
            Release();
            throw;
        }
        Release();

        const std::string stderrLine = FirstLine(result.err);
        auto fail = [&](const std::string &what) {
            throw UnusableKey("--sign-command for " + item + ": " + what + " (" + result.status +
                              (stderrLine.empty() ? "" : "; stderr: " + stderrLine) + ")");
        };
        if (!result.succeeded)
            fail("the command failed");
        if (result.outLength != 256)
            fail("printed " + std::to_string(result.outLength) + " bytes, not a 256-byte signature");
        if (!SignatureMatches(publicKey_.get(), digest, result.out))
            fail("the signature does not verify with " + keyName_ + " (signed with another key?)");
        return result.out;
    }

    EVP_PKEY *PublicKey() const override { return publicKey_.get(); }
    const std::string &Name() const override { return name_; }

  private:
    void Release() const
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            ++free_;
        }
        freed_.notify_one();
    }

    std::string command_;
    EvpKeyHandle publicKey_;
    std::string keyName_;
    mutable std::mutex lock_;
    mutable std::condition_variable freed_;
    mutable unsigned free_;
    std::string name_;
    std::vector<std::string> withheld_;
};

} // namespace

std::unique_ptr<PayloadSigner> OpenCommandSigner(const std::string &command, EvpKeyHandle publicKey,
                                                 const std::string &keyName, unsigned atOnce,
                                                 std::vector<std::string> withheld)
{
    return std::make_unique<CommandSigner>(command, std::move(publicKey), keyName, atOnce, std::move(withheld));
}

} // namespace packer
