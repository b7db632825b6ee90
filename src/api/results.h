// SPDX-License-Identifier: Apache-2.0
// The one place where the library's internal failures become the result
// codes of the public header.
//
// Below src/api every layer fails in its own way: the font layer raises
// OT_EXCEPTION, the other layers raise `error` with a code named in their
// headers, a few readers return negative codes, GrowArray throws its index
// fault. The entry points run each step of a call under a Stage: a step that
// fails raises StageFailure with the stage and the internal code, and
// result_for() decides the public code from the two. An `error` that no step
// claimed passes through with its own code (the header documents the
// ranges), as callers have always seen.
#pragma once
#include <cstdint>

#include "fontseal/fontseal.h"

namespace fontseal {

enum class Stage {
    kCertificateOpen,  // the certificate file could not be opened
    kCertificateRead,  // no certificate in it, in any accepted form
    kKeyOpen,          // the key file could not be opened
    kKeyRead,          // the key reader's code
    kKeyCertificates,  // a key file meant to carry the certificates holds none
    kInputOpen,        // the input font could not be opened
    kOutputCreate,     // the output font could not be created or put in place
    kContent,          // the content to be signed could not be built
    kSigning,          // the signer's negative result
    kTimestamp,        // a time stamp was required and no server gave one
    kToken,            // a token key's code (platform/pkcs11_module.h)
};

struct StageFailure {
    Stage stage;
    int32_t code;  // the internal code of the failing step, 0 when it has none
};

[[noreturn]] void fail(Stage stage, int32_t code = 0);

// The public result for a failure of `stage` with internal `code`.
int32_t result_for(Stage stage, int32_t code);

// The public result for the exception being handled. When `detail` is
// given it receives what the public code leaves out (the font layer's code
// telling a WOFF2 file from a collection, say), else 0.
int32_t result_for_current_exception(int32_t* detail = nullptr);

// Runs `body` (which returns a public result) and turns whatever it raises
// into a public result. Never throws.
template <class Body>
int32_t run_with_result(Body&& body, int32_t* detail = nullptr) noexcept {
    if (detail) *detail = 0;
    try {
        return body();
    } catch (...) {
        return result_for_current_exception(detail);
    }
}

}  // namespace fontseal
