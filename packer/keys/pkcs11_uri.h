// PKCS#11 URIs (RFC 7512) as --key takes them: which token, which key, which module, where
// the PIN comes from.
#pragma once

#include <optional>
#include <string>

namespace packer {

struct Pkcs11Uri {
    // Path attributes, percent-decoded; absent ones match anything.
    std::optional<std::string> token, manufacturer, model, serial;
    std::optional<std::string> object; // CKA_LABEL
    std::optional<std::string> id;     // CKA_ID, raw bytes
    std::optional<std::string> type;   // private, public, cert, secret-key or data
    // Query attributes.
    std::optional<std::string> modulePath, moduleName;
    std::optional<std::string> pinSource; // a path (file: removed)
    // The URI for messages (Pkcs11UriForMessages).
    std::string text;
};

// A pkcs11: URI as messages show it: its path part, with the values of pin-value and pin-source
// (which belong in the query, but may be typed in the path) left out.
std::string Pkcs11UriForMessages(const std::string &text);

// Parses a pkcs11: URI. Throws UnusableKey naming the fault, and for pin-value, which would put
// the PIN on a command line.
Pkcs11Uri ParsePkcs11Uri(const std::string &text);

} // namespace packer
