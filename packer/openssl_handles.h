// Owning pointers for the OpenSSL objects the packer makes.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace packer {

template <auto Free> struct OpenSslDeleter {
    template <typename T> void operator()(T *object) const { Free(object); }
};

using X509Handle = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using Pkcs7Handle = std::unique_ptr<PKCS7, OpenSslDeleter<PKCS7_free>>;
using BignumHandle = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;
using Asn1IntegerHandle = std::unique_ptr<ASN1_INTEGER, OpenSslDeleter<ASN1_INTEGER_free>>;
using Asn1StringHandle = std::unique_ptr<ASN1_OCTET_STRING, OpenSslDeleter<ASN1_OCTET_STRING_free>>;
using ExtensionHandle = std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION_free>>;
using ObjectHandle = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT_free>>;
using EvpKeyHandle = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using BioHandle = std::unique_ptr<BIO, OpenSslDeleter<BIO_free>>;
using EvpKeyContextHandle = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX_free>>;

} // namespace packer
