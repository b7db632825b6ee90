// SPDX-License-Identifier: Apache-2.0
// Two-step signing, for keys that sign out of band (an approval queue, an
// air-gapped HSM): `fontseal prepare` writes a request per font holding what
// is to be signed, `fontseal attach` puts the signature made elsewhere into
// the font. Signing is deterministic, so the two steps give the same bytes
// as signing with the key in one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fontseal_cli {

// The request for one font, as written to FONT.json. Nothing in it is
// secret.
struct SigningRequest {
    std::string version;         // the fontseal that prepared it
    std::string fontPath;        // absolute
    std::string fontSha256;      // of the font's bytes, hex
    std::string certPath;        // as given to prepare
    std::string certThumbprint;  // SHA-1 of the first certificate's DER, hex
    int32_t digest = 0;          // FONTSEAL_HASH_*
    int32_t statement = 0;       // FONTSEAL_STATEMENT_*
    bool hasProgramName = false;
    std::string programName;
    bool hasInfoUrl = false;
    std::string infoUrl;
    std::string digestHex;      // what a sign-digest call signs
    std::string digestInfoHex;  // what a raw RSA operation signs
};

std::string request_to_json(const SigningRequest& request);
// False, with `error` saying what is wrong, for text that is no request.
bool request_from_json(const std::string& text, SigningRequest& request, std::string& error);

// The SHA-256 of a file's bytes in hex; false with `error` when it cannot
// be read.
bool file_sha256(const std::string& path, std::string& hex, std::string& error);
// The SHA-1 thumbprint (hex, upper case) of the first certificate of a
// certificate file (PEM, DER or a PKCS#7 bundle, DER or PEM; base64 text).
bool first_certificate_thumbprint(const std::string& path, std::string& hex, std::string& error);

std::string to_hex(const uint8_t* bytes, size_t length);

// Reads a whole file; false when it cannot.
bool read_file(const std::string& path, std::string& bytes);
// Writes a whole file through a temporary in the same directory renamed
// into place; false (leaving nothing) when it cannot.
bool write_file_atomically(const std::string& path, const std::string& bytes, std::string& error);

std::string file_name_of(const std::string& path);

}  // namespace fontseal_cli
