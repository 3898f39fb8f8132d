#include "packer/commands/commands.h"

#include "packer/host/host.h"
#include "packer/keys/payload_key.h"

#include <ostream>

namespace packer {

void RunKeygen(const std::string &name, const std::string &passphrase, std::ostream &out)
{
    const KeyPairPaths paths = KeyPairPathsFor(name);
    GenerateKeyPair(paths, passphrase);
    out << "wrote " << paths.privateKey
        << (passphrase.empty() ? " (private payload signing key: keep it secret, give it to pack --key)\n"
                               : " (private payload signing key, encrypted: give it to pack --key with --pass)\n")
        << "wrote " << paths.publicKey << " (set it into the ready stub: launcher-pack stub --key "
        << host::ShellWord(paths.publicKey)
        << " -o launcher.exe; then pack onto launcher.exe and sign setup.exe last, or sign launcher.exe once to "
           "pack many times)\n";
}

} // namespace packer
