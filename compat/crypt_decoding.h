// compat/crypto.cpp's decoding of signature objects, built into launcher-pack.exe under names of
// its own. The system's crypt32 copies a certificate several times while decoding, which for a
// payload carrier of up to 64 MiB costs hundreds of MiB; the packer sets the launcher's crypt32
// entry points to these instead (packer/host/windows_decoding.cpp). They behave as
// compat/include/wincrypt.h describes: a message and a context refer to the caller's bytes.
#pragma once

#include <windows.h>
#include <wincrypt.h>

HCRYPTMSG WINAPI DecodingCryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                              HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                                              PCMSG_STREAM_INFO pStreamInfo);
BOOL WINAPI DecodingCryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE *pbData, DWORD cbData, BOOL fFinal);
BOOL WINAPI DecodingCryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void *pvData,
                                     DWORD *pcbData);
BOOL WINAPI DecodingCryptMsgClose(HCRYPTMSG hCryptMsg);
PCCERT_CONTEXT WINAPI DecodingCertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE *pbCertEncoded,
                                                           DWORD cbCertEncoded);
BOOL WINAPI DecodingCertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
