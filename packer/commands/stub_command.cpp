// launcher-pack stub: a copy of the ready stub (a release launcher.exe whose key slot is empty)
// with the payload verification key set, ready to be signed and packed.
#include "packer/commands/commands.h"

#include "packer/host/host.h"
#include "packer/pipeline/output_file.h"
#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"
#include "packer/pe/pe_image.h"

#include <algorithm>
#include <filesystem>
#include <ostream>

namespace packer {

namespace {

namespace fs = std::filesystem;

// Beside the packer (a build folder), then in the data folder of its installed package.
std::string FindReadyStub()
{
    std::error_code error;
    const std::string self = host::ExecutablePath();
    if (!self.empty()) {
        const fs::path folder = fs::u8path(self).parent_path();
        for (const fs::path &candidate :
             {folder / ReadyStubName, folder.parent_path() / ReadyStubFolder / ReadyStubName})
            if (fs::is_regular_file(candidate, error))
                return candidate.u8string();
    }
    throw PackError("no ready stub (" + std::string(ReadyStubName) + ") beside launcher-pack or in ../" +
                    ReadyStubFolder + " from it: give --stub");
}

} // namespace

void RunStub(const StubOptions &options, std::ostream &out)
{
    const std::string path = options.stub.empty() ? FindReadyStub() : options.stub;
    const std::string what = "stub " + path;
    std::vector<std::string> inputs = KeySourceFiles(options.key);
    inputs.push_back(path);
    CheckOutputPath(options.output, inputs, options.force);
    Bytes image = ReadWholeFile(path);
    PeLayout layout = ReadPeLayout(image, what);
    SignatureEntry signature;
    if (FindSignatureEntry(image, layout, signature, what))
        throw PackError(what + " is signed, and setting the key would break its signature: set the key, then sign");
    const std::size_t slot = FindKeySlot(image, what);
    Bytes blob = PublicKeyBlob(OpenPublicKey(options.key).get(), options.key.Name());

    std::copy(blob.begin(), blob.end(), image.begin() + static_cast<std::ptrdiff_t>(slot));
    WriteU32(image, layout.checksumOffset, ComputePeChecksum(image, layout.checksumOffset));
    TemporaryFile file(options.output);
    file.Write(image);
    file.Commit();
    out << options.output << ": " << path << " with the key " << KeyFingerprint(blob)
        << "; pack onto it with the private key and sign the installer last, or sign it once to pack many times "
           "(and never sign those installers)\n";
}

} // namespace packer
