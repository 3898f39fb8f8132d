// The cabinet file-list reader as pack runs it on a package's external cabinets: through a file
// (an in-memory one), with its ranged reads, never the whole cabinet at once.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "packer/msi/cabinet_file_list.h"
#include "packer/pack_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const int descriptor = memfd_create("cabinet", MFD_CLOEXEC);
    if (descriptor < 0)
        std::abort();
    for (std::size_t written = 0; written < size;) {
        const ssize_t result = write(descriptor, data + written, size - written);
        if (result <= 0)
            std::abort();
        written += static_cast<std::size_t>(result);
    }
    try {
        for (const packer::CabinetMember &member :
             packer::ReadCabinetFileList("/proc/self/fd/" + std::to_string(descriptor)))
            if (member.name.empty() || member.name.size() > 255)
                std::abort();
    } catch (const packer::PackError &) {
    }
    close(descriptor);
    return 0;
}
