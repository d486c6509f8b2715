// The detached signature of the published list: the base64 text of an
// Ed25519 signature over the list's bytes exactly as served, made by
// "quillomark-seal --sign-list" and checked against LIST_PUBLIC_KEY.
#pragma once

#include <string>
#include <string_view>

// True when signatureText (base64, trailing line ends allowed) is a valid
// signature of list by publicKey (the base64 of a raw 32-byte key).
bool VerifyListSignature(std::string_view list, std::string_view signatureText, const std::string& publicKey);
