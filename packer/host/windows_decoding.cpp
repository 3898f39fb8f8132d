#include "packer/host/windows_decoding.h"

#include "compat/crypt_decoding.h"

// launcher/system_libraries.cpp defines the import pointers through which the launcher's
// portable code calls crypt32 (the launcher loads the DLL on first use); the packer, which
// links the same code, fills them with its own decoding instead.
extern "C" {
extern decltype(&CryptMsgOpenToDecode) __imp_CryptMsgOpenToDecode;
extern decltype(&CryptMsgUpdate) __imp_CryptMsgUpdate;
extern decltype(&CryptMsgGetParam) __imp_CryptMsgGetParam;
extern decltype(&CryptMsgClose) __imp_CryptMsgClose;
extern decltype(&CertCreateCertificateContext) __imp_CertCreateCertificateContext;
extern decltype(&CertFreeCertificateContext) __imp_CertFreeCertificateContext;
}

namespace packer::host {

void UseOwnSignatureDecoding()
{
    __imp_CryptMsgOpenToDecode = DecodingCryptMsgOpenToDecode;
    __imp_CryptMsgUpdate = DecodingCryptMsgUpdate;
    __imp_CryptMsgGetParam = DecodingCryptMsgGetParam;
    __imp_CryptMsgClose = DecodingCryptMsgClose;
    __imp_CertCreateCertificateContext = DecodingCertCreateCertificateContext;
    __imp_CertFreeCertificateContext = DecodingCertFreeCertificateContext;
}

} // namespace packer::host
