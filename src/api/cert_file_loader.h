// SPDX-License-Identifier: Apache-2.0
// Loading the certificate file named to the signing call. The file's form is
// declared nowhere, so it is found by trying the accepted readings in a
// fixed order and keeping the first that succeeds.
#pragma once

#include <cstdint>
#include <vector>

#include "base/grow_array.h"
#include "x509/p7_certificate.h"

namespace fontseal {

// Attempts, in order: attempt % 4 picks the text form (0 binary DER, 1 PEM
// with a "-----BEGIN CERTIFICATE-----" first line, 2 base64 in 8-bit
// characters, 3 base64 in 16-bit little-endian characters), attempt / 4 the
// content (0 one certificate, 1 a PKCS#7 SignedData bundle).
constexpr int kCertificateAttempts = 8;
// Tried after those: a PEM "-----BEGIN PKCS7-----" block holding a bundle.
constexpr int kPemBundleAttempt = 8;
// Tried first, and only when asked for: every "-----BEGIN CERTIFICATE-----"
// block of a PEM file, wherever it stands, in file order.
constexpr int kEveryPemCertificateAttempt = 9;

// Empties `list`, then fills it from the file at `path`, in file order
// (duplicates kept): one certificate, or every certificate of a bundle.
// Returns the number of entries; 0 means no attempt read a certificate
// (a bundle without certificates also ends the attempts with 0), for which
// the signing call answers -7.
// Throws error(kErrCannotOpen) (261) when the file cannot be opened, at
// any attempt; the signing call answers -6. Every other fault is absorbed.
// `attempt`, when given, receives the attempt that succeeded, or -1.
// With `every_pem_certificate` a PEM file gives all its certificate blocks
// (the original calls read only the first); certificates that cannot be
// read (a key other than RSA) are left out as in a bundle, and a file
// without one readable block goes on to the other attempts.
int load_certificates(const char* path, GrowArray<P7Certificate>& list, int* attempt = nullptr,
                      bool every_pem_certificate = false);

// Fills `list` (emptied first) from DER certificates, such as a PKCS#12
// file's, in order; those that cannot be read are left out. Returns the
// number of entries.
int certificates_from_der(const std::vector<std::vector<uint8_t>>& certificates,
                          GrowArray<P7Certificate>& list);

}  // namespace fontseal
