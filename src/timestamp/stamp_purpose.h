// SPDX-License-Identifier: Apache-2.0
// Who may make a time stamp: the signer's certificate must be meant for it,
// both when a reply arrives and when a stamped font is checked.
#pragma once
#include <openssl/x509.h>

#include <string>

namespace fontseal {

enum class StampKind {
    // RFC 3161 (section 2.3): one extended-key-usage extension, critical,
    // that lists id-kp-timeStamping (1.3.6.1.5.5.7.3.8).
    kRfc3161,
    // The counter-signature protocol: an extended-key-usage extension that
    // lists id-kp-timeStamping or the older time-stamp purpose
    // 1.3.6.1.4.1.311.10.3.2 its servers' certificates carry.
    kCounterSignature,
};

// Empty when `cert` may sign time stamps of `kind`; otherwise why not, for a
// person, naming the purpose that is missing.
std::string timestamp_purpose_fault(X509* cert, StampKind kind);

}  // namespace fontseal
