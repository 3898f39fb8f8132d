#include "packer/commands.h"

#include "packer/payload_key.h"

#include <ostream>

namespace packer {

void RunKeygen(const std::string &name, const std::string &passphrase, std::ostream &out)
{
    std::string privatePath;
    std::string publicPath;
    GenerateKeyPair(name, passphrase, privatePath, publicPath);
    out << "wrote " << privatePath
        << (passphrase.empty() ? " (private payload signing key: keep it secret, give it to pack --key)\n"
                               : " (private payload signing key, encrypted: give it to pack --key with --pass)\n")
        << "wrote " << publicPath << " (build launcher.exe with -DLAUNCHER_PUBLIC_KEY=" << publicPath << ")\n";
}

} // namespace packer
