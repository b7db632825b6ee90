// SPDX-License-Identifier: Apache-2.0
#include "timestamp/stamp_purpose.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "base/ossl_ptr.h"
#include "der/oids.h"

namespace fontseal {

namespace {

bool lists(const EXTENDED_KEY_USAGE* usage, const char* oid) {
    char text[128];
    for (int i = 0; i < sk_ASN1_OBJECT_num(usage); ++i) {
        if (OBJ_obj2txt(text, sizeof text, sk_ASN1_OBJECT_value(usage, i), 1) > 0 &&
            std::string(text) == oid)
            return true;
    }
    return false;
}

}  // namespace

std::string timestamp_purpose_fault(X509* cert, StampKind kind) {
    const std::string wanted =
        kind == StampKind::kRfc3161
            ? std::string("the time-stamping purpose (") + kOidTimeStampingPurpose +
                  ") in a critical extended key usage"
            : std::string("a time-stamping purpose (") + kOidTimeStampingPurpose + " or " +
                  kOidOlderTimeStampingPurpose + ") in its extended key usage";
    if (!cert) return "the time stamp's signer certificate is missing";
    int critical = -1;
    UsagePtr usage(static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr)));
    // -2: the extension is there more than once, which is not allowed.
    if (critical == -2)
        return "its signer certificate has two extended key usages; it needs " + wanted;
    if (!usage) return "its signer certificate lacks " + wanted + " (it names no purposes)";
    const bool listed =
        lists(usage.get(), kOidTimeStampingPurpose) ||
        (kind == StampKind::kCounterSignature && lists(usage.get(), kOidOlderTimeStampingPurpose));
    if (!listed) return "its signer certificate lacks " + wanted;
    if (kind == StampKind::kRfc3161 && critical != 1)
        return "its signer certificate lacks " + wanted + " (the extension is not critical)";
    return "";
}

}  // namespace fontseal
