// The Authenticode signature of a file, checked as a verifier checks it: the file's PE image
// digest is the one the signature holds, and the signer's signature over it verifies with the
// signer certificate carried in the signature. With roots given, the signer's chain is built
// and checked against them by OpenSSL's certificate store, at the time a verified RFC 3161
// time-stamp gives, else now. Revocation is not checked.
#pragma once

#include "packer/byte_io.h"

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace packer {

// One signature object, the primary or a nested one: what it says and whether it holds.
struct SignatureReport {
    bool valid = false;
    std::string detail;            // valid: the digest and the signer; else what does not hold
    std::string digest;            // the image digest's algorithm name, when known
    int digestNid = 0;             // NID_undef when not known
    std::string signerDigest;      // the algorithm of the signer's own digest, when known
    int signerDigestNid = 0;       // NID_undef when not known
    std::string signerSubject;     // empty when no signer certificate was found
    std::string signerFingerprint; // "SHA256:" and the hex SHA-256 of the signer certificate's DER
};

// What the chain check of the primary signer found.
struct ChainReport {
    enum class Status { NotChecked, Valid, Invalid } status = Status::NotChecked;
    std::string detail; // NotChecked with roots given: why no chain could be built
};

// One rule of the strict signing policy, which goes beyond what Windows requires. Every rule is
// checked on every signed file; the caller decides whether it is enforced.
struct PolicyRule {
    const char *name; // stable, for JSON
    std::string rule; // what it requires, in words
    bool met = false;
    std::string found; // what the file has, in words
};

struct AuthenticodeCheck {
    enum class Status { Unsigned, Valid, Invalid } status;
    std::string detail; // Valid: the digest and the signer; Invalid: what does not hold
    SignatureReport primary;
    std::vector<SignatureReport> nested; // reported, never trusted in place of the primary
    ChainReport chain;
    std::string timestamp;       // the signing time an RFC 3161 time-stamp vouches for, once verified
    std::string timestampDetail; // "none", "verified", or why it was not taken
    // The strict policy on the primary signature: empty when the file is unsigned or its
    // signature object does not decode.
    std::vector<PolicyRule> policy;
};

// Roots to check the primary signer's chain against: a PEM file of certificates; empty checks
// no chain. The chain holds for code signing only where every certificate in it names code
// signing (or any purpose) in its extended key usage, or names no usage at all, and the signer's,
// when it names any, names code signing.
AuthenticodeCheck CheckAuthenticode(ByteView image, const std::string &caFile = "");

// Whether Windows with the certificate padding check (EnableCertPaddingCheck) on sees the
// signature: the certificate table holds one WIN_CERTIFICATE whose dwLength is the signature
// object's DER length plus its 8-byte header, rounded up to 8, padded with zero bytes; nothing
// follows it in the table, and nothing follows the table in the file.
struct PaddingCheck {
    enum class Status { Unsigned, Passes, Fails } status;
    std::string detail; // Fails: what is in the way
};

PaddingCheck CheckCertificatePadding(ByteView image);

// The Authenticode digest of a PE image: every byte up to the certificate table except the
// checksum field and the certificate table's directory entry.
Bytes PeImageDigest(ByteView image, const EVP_MD *digest);

// Bytes that follow the certificate table, where nothing may follow it; 0 when there is no
// table or it ends the file.
std::uint64_t BytesAfterCertificateTable(ByteView image);

} // namespace packer
