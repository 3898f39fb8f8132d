// launcher-pack.exe's entry: UTF-16 arguments made UTF-8, output the console shows as it is,
// and OpenSSL kept from configuration files.
#include "packer/host/entry.h"
#include "packer/host/windows_decoding.h"
#include "packer/host/windows_text.h"

#include <fcntl.h>
#include <io.h>
#include <openssl/crypto.h>
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

namespace {

using packer::host::Wide;

// Text for a console window, given to WriteConsoleW as UTF-16, whatever the console's code page.
// Output to a file or a pipe stays the UTF-8 bytes the packer writes on Linux.
class ConsoleBuffer : public std::streambuf {
  public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) { setp(buffer_, buffer_ + sizeof buffer_); }

  protected:
    int_type overflow(int_type c) override
    {
        if (Flush(false) != 0)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return Flush(true); }

  private:
    // Writes what is buffered up to the last whole UTF-8 character (all of it when everything).
    int Flush(bool everything)
    {
        std::size_t length = static_cast<std::size_t>(pptr() - pbase());
        std::size_t whole = length;
        if (!everything) {
            // Back up over an unfinished sequence: at most 3 continuation bytes and its lead byte.
            std::size_t back = 0;
            while (back < 3 && back < whole && (static_cast<unsigned char>(buffer_[whole - 1 - back]) & 0xC0) == 0x80)
                ++back;
            if (back < whole && (static_cast<unsigned char>(buffer_[whole - 1 - back]) & 0xC0) == 0xC0)
                whole -= back + 1;
        }
        std::wstring text = Wide(std::string(buffer_, whole));
        DWORD written = 0;
        if (!text.empty() && !WriteConsoleW(console_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return -1;
        std::copy(buffer_ + whole, buffer_ + length, buffer_);
        setp(buffer_, buffer_ + sizeof buffer_);
        pbump(static_cast<int>(length - whole));
        return 0;
    }

    HANDLE console_;
    char buffer_[4096];
};

// Standard output or error: a console gets UTF-16 text, anything else binary UTF-8.
void SetUpStream(std::ostream &stream, DWORD which, FILE *file)
{
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // The progress line's escape sequences (Windows 10 and later; elsewhere it is not drawn).
        SetConsoleMode(handle, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        std::fflush(file);
        stream.rdbuf(new ConsoleBuffer(handle)); // lives until the process ends, past the last flush
    } else {
        _setmode(_fileno(file), _O_BINARY);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    // The configuration would be read from OPENSSLDIR, a folder that no Windows machine has; never
    // read one at all.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    packer::host::UseOwnSignatureDecoding();
    _setmode(_fileno(stdin), _O_BINARY);
    SetUpStream(std::cout, STD_OUTPUT_HANDLE, stdout);
    SetUpStream(std::cerr, STD_ERROR_HANDLE, stderr);

    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(packer::host::Utf8(argv[i], wcslen(argv[i])));
    std::vector<char *> pointers;
    for (auto &argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    int code = RunLauncherPack(argc, pointers.data());
    std::cout.flush();
    std::cerr.flush();
    return code;
}
