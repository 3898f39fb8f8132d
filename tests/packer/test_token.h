// A SoftHSM2 token of the test run's own, in a temporary SOFTHSM2_CONF folder: the TEST-ONLY
// key imported (private and public objects, id 01, label "payload"), a key generated inside
// the token and never extractable (id 02, "generated"), and a 3072-bit one (id 03, "large").
#pragma once

#include <string>

namespace packer_test {

struct TestToken {
    std::string folder;
    std::string module;   // SoftHSM2's library
    std::string pinFile;  // the user PIN
    std::string wrongPin; // a file with another PIN
    std::string label = "release";
    std::string otherKey; // a PEM key that is not in the token
};

// Made once per test program; sets SOFTHSM2_CONF for this process and its children.
const TestToken &TheTestToken();

// "pkcs11:token=release;" followed by rest.
std::string TokenUri(const std::string &rest);

} // namespace packer_test
