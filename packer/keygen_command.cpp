#include "packer/commands.h"

#include "packer/payload_key.h"

#include <ostream>

namespace packer {

void RunKeygen(const std::string &name, std::ostream &out)
{
    std::string privatePath;
    std::string publicPath;
    GenerateKeyPair(name, privatePath, publicPath);
    out << "wrote " << privatePath << " (private payload signing key: keep it secret, give it to pack --key)\n"
        << "wrote " << publicPath << " (build launcher.exe with -DLAUNCHER_PUBLIC_KEY=" << publicPath << ")\n";
}

} // namespace packer
