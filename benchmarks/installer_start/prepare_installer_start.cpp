// prepare_installer_start FOLDER MEBIBYTES: writes FOLDER\setup.exe, launcher.exe carrying the
// test package with a cabinet of MEBIBYTES MiB of random bytes (as incompressible as a real
// cabinet), and FOLDER\cabinet.zlib, the same cabinet as baseline_extract reads it.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

#include "tests/installer_e2e/e2e_support.h"
#include "writer/container_writer.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: prepare_installer_start FOLDER MEBIBYTES\n");
        return 2;
    }
    std::string folder = argv[1];
    std::size_t bytes = std::strtoul(argv[2], nullptr, 10) << 20;

    e2e::Package package = e2e::BuiltPackage("good", GOOD_PRODUCT_CODE, "Launcher Test Product");
    package.cabinet.resize(bytes);
    std::mt19937_64 random(20261210);
    for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
        std::uint64_t value = random();
        for (int b = 0; b < 8; b++)
            package.cabinet[i + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
    e2e::WritePackedLauncher(folder + "\\setup.exe", package);

    writer::Bytes stream = writer::CompressZlib(package.cabinet, 9);
    std::ofstream out(folder + "\\cabinet.zlib", std::ios::binary | std::ios::trunc);
    for (int b = 0; b < 4; b++)
        out.put(static_cast<char>(bytes >> (8 * b)));
    out.write(reinterpret_cast<const char *>(stream.data()), static_cast<std::streamsize>(stream.size()));
    return out.flush() ? 0 : 1;
}
