// SPDX-License-Identifier: Apache-2.0
// Trusted roots read from a file named by the user (--ca-file), through the
// non-waiting open of platform/regular_file.h: a FIFO or a device given as
// the roots is refused at once instead of stalling the check.
#pragma once
#include <openssl/x509_vfy.h>

namespace fontseal {

// Adds the certificates (and CRLs) of the PEM file at `path` to `store`, or
// its one DER certificate. False when the file cannot be read or holds none.
bool load_root_file(X509_STORE* store, const char* path);

}  // namespace fontseal
