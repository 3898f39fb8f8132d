// The digest that items are signed and compared by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace packer {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest Sha256Of(const std::uint8_t *data, std::size_t length);

// The digest of bytes given in pieces.
class Sha256Hasher {
  public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher &) = delete;
    Sha256Hasher &operator=(const Sha256Hasher &) = delete;

    void Add(const std::uint8_t *data, std::size_t length);
    Sha256Digest Finish();

  private:
    struct Context;
    Context *context_;
};

} // namespace packer
