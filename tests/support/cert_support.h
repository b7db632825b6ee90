// SPDX-License-Identifier: Apache-2.0
// Test certificates made with the openssl command-line tool at test time (no
// keys are kept in the repository), and the fields that python's
// cryptography package reads from them, as an oracle independent of our DER
// reader.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

struct CertOptions {
    // Lines of an openssl extension section (for example
    // "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21"). Empty: a version 1
    // certificate without extensions.
    std::string extensions;
    std::string serial = "1";  // decimal or 0x-prefixed hex, as openssl takes it
    int keyBits = 1024;
    std::string exponent = "65537";
    bool dsa = false;  // a DSA key instead of RSA
    std::string subject = "/CN=fontseal test";
    // Issuer certificate and key (PEM paths); empty: self-signed.
    std::string caPem;
    std::string caKey;
};

struct TestCert {
    std::string pem;  // path of the PEM file
    std::string der;  // path of the DER file
    std::string key;  // path of the private key (PEM)
};

// Makes a self-signed certificate <name>.pem / <name>.der in `dir`.
// Throws std::runtime_error when openssl fails.
TestCert makeCertificate(const TempDir& dir, const std::string& name, const CertOptions& options);

// A PKCS#7 certificate bundle of the given PEM certificates, in order
// (duplicates kept). `der`: binary, otherwise openssl's PEM output.
std::string makeBundle(const TempDir& dir, const std::string& name,
                       const std::vector<std::string>& pems, bool der);

// The fields as python's cryptography package sees them.
struct CertFacts {
    std::vector<uint8_t> der;             // the whole certificate
    std::vector<uint8_t> issuer;          // DER of the issuer Name
    std::vector<uint8_t> serial;          // DER of the serialNumber INTEGER, header included
    std::vector<uint8_t> modulusLe;       // INTEGER content, least significant byte first
    std::vector<uint8_t> exponentLe;      // same for the public exponent
    std::vector<std::string> extensions;  // dotted OIDs, in certificate order
};
CertFacts certFacts(const TempDir& dir, const std::string& pemPath);

// The base64 body of a PEM file (all lines between the BEGIN and END lines,
// joined with "\n", without header lines).
std::string pemBody(const std::string& pemPath);

// Minimal DER surgery for hand-made variants of real certificates (definite
// lengths only; independent of the library's DER code).
using Bytes = std::vector<uint8_t>;
// identifier octet + minimal length + content.
Bytes tlv(uint8_t identifier, const Bytes& content);
// The content octets of the single element `element`.
Bytes contentOf(const Bytes& element);
// The complete elements that follow one another in `content`.
std::vector<Bytes> splitElements(const Bytes& content);
Bytes concat(const std::vector<Bytes>& parts);

// 8-bit text as 16-bit little-endian characters.
std::vector<uint8_t> toUtf16Le(const std::string& text);

}  // namespace testsupport
