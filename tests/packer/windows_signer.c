/* A --sign-command for launcher-pack.exe's tests, a Windows program: signs the 32-byte digest on
 * standard input with the PEM key named by its argument and prints the raw signature. It fails
 * (exit code 2) unless LAUNCHER_PACK_DIGEST_HEX names the same digest, and (exit code 4) when it
 * sees LAUNCHER_PACK_TEST_SECRET, which the packer must keep from it. */
#include <fcntl.h>
#include <io.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    unsigned char digest[33], signature[512];
    char path[1024], hex[65];
    size_t got, length = sizeof signature;
    if (argc != 2 || !WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, path, sizeof path, NULL, NULL))
        return 3;
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    got = fread(digest, 1, sizeof digest, stdin);
    if (got != 32)
        return 2;
    for (int i = 0; i < 32; ++i)
        sprintf(hex + 2 * i, "%02x", digest[i]);
    if (getenv("LAUNCHER_PACK_TEST_SECRET") != NULL)
        return 4;
    const char *given = getenv("LAUNCHER_PACK_DIGEST_HEX");
    if (!given || strcmp(given, hex) != 0)
        return 2;
    BIO *file = BIO_new_file(path, "r");
    EVP_PKEY *key = file ? PEM_read_bio_PrivateKey(file, NULL, NULL, NULL) : NULL;
    EVP_PKEY_CTX *context = key ? EVP_PKEY_CTX_new(key, NULL) : NULL;
    if (!context || EVP_PKEY_sign_init(context) != 1 || EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) != 1 ||
        EVP_PKEY_sign(context, signature, &length, digest, 32) != 1)
        return 1;
    fwrite(signature, 1, length, stdout);
    return 0;
}
