// SPDX-License-Identifier: Apache-2.0
// Certificate decoding: a run of certificates (plain or in the extended
// form) taken off one reader, the field extractor on its own, and the
// code-signing judge.
#include <cstdint>
#include <cstring>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/der_reader.h"
#include "fuzz_support.h"
#include "x509/certificate_info.h"
#include "x509/key_purpose_list.h"
#include "x509/p7_certificate.h"

using namespace fontseal;

namespace {

// What a decoded certificate promises its users (the signer matches keys by
// modulus and exponent, and writes issuer and serial into the SignerInfo).
void checkInfo(const CertificateInfo& info) {
    FUZZ_CHECK(info.modulusLength() > 0 && info.exponentLength() > 0);
    // Complete elements: an INTEGER with content, and a whole issuer element.
    FUZZ_CHECK(info.serialLength() > 2 && info.serial()[0] == 0x02);
    FUZZ_CHECK(info.issuerLength() >= 2);
    FUZZ_CHECK(info.purpose() >= kPurposeNone && info.purpose() <= kPurposeCommercial);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF) return 0;
    {
        MemoryStream source(data, int(size));
        DerReader reader(source);
        int tag = 0, form = 0;
        // Until a decoding fails, each peek starts at a fresh header.
        bool fresh = true;
        for (int i = 0; i < 4; ++i) {
            P7Certificate cert;
            size_t start = size_t(source.position());
            try {
                if (!reader.peek(tag, form)) break;
            } catch (const error&) {
                break;
            }
            if (!cert.decodeFrom(reader)) {
                // A failed entry may have left the reader anywhere; decoding
                // goes on only as long as it still answers.
                fresh = false;
                continue;
            }
            FUZZ_CHECK(cert.raw() && cert.info());
            checkInfo(*cert.info());
            // Written back byte for byte as it stood in the input.
            MemoryStream out;
            const int length = cert.encode(&out);
            FUZZ_CHECK(length == cert.raw()->length() && length == out.position());
            if (fresh) {
                FUZZ_CHECK(start + size_t(length) <= size);
                FUZZ_CHECK(std::memcmp(out.data(), data + start, size_t(length)) == 0);
            }
            // Copies share the captured bytes and fields.
            P7Certificate copy(cert);
            FUZZ_CHECK(copy.raw().get() == cert.raw().get());
        }
    }
    {
        MemoryStream source(data, int(size));
        DerReader reader(source);
        CertificateInfo info;
        if (info.decodeFrom(reader)) checkInfo(info);
    }
    // The code-signing judge reads any certificate, whatever its key; it
    // answers with one of its verdicts, never a fault.
    const CodeSigningUse use = certificate_code_signing(data, size);
    FUZZ_CHECK(use == CodeSigningUse::kAllowed || use == CodeSigningUse::kNotForCodeSigning ||
               use == CodeSigningUse::kNoDigitalSignature || use == CodeSigningUse::kUnreadable);
    FUZZ_CHECK(code_signing_fault(use) != nullptr);
    return 0;
}
