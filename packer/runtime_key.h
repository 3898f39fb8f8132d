// Forced into the packer's own build of the launcher's portable payload code. The launcher
// verifies payload items with the key built into it; the packer reads installers built with
// any key, so its copy of that code loads the key that the packer chose for the file at hand.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif
struct evp_pkey_st;
// Decodes the packer's chosen public key blob (see SetPayloadVerificationKey) in place of the
// built-in one; the built-in blob is decoded only when none was chosen.
struct evp_pkey_st *PackerLoadPayloadKey(const unsigned char **in, long length);
#ifdef __cplusplus
}
#endif

#define b2i_PublicKey PackerLoadPayloadKey
