// launcher-pack.exe reads signature objects with the Linux packer's decoding.
#pragma once

namespace packer::host {

// Points the payload locator's crypt32 calls at compat/crypto.cpp's decoding, which holds a
// payload carrier once where the system's copies it several times. Called first thing in wmain,
// before anything reads an installer.
void UseOwnSignatureDecoding();

} // namespace packer::host
