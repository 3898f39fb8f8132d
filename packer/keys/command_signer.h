// Keys in a key service, reached through a command that signs one digest at a time.
#pragma once

#include "packer/keys/payload_signer.h"

#include <memory>
#include <string>

namespace packer {

// Runs command (see host::CommandRunner) for each item, at most `at once` at a time. The command gets
// the 32-byte digest on standard input and in hex as LAUNCHER_PACK_DIGEST_HEX, and prints the
// raw 256-byte signature; each one is checked against publicKey before it is used. The variables
// named in withheld (the secrets of --pass env:VAR) are left out of its environment.
std::unique_ptr<PayloadSigner> OpenCommandSigner(const std::string &command, EvpKeyHandle publicKey,
                                                 const std::string &keyName, unsigned atOnce,
                                                 std::vector<std::string> withheld = {});

} // namespace packer
