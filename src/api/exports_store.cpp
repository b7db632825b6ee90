// SPDX-License-Identifier: Apache-2.0
// The system-store route of the exported interface.
#include <new>

#include "api/sign_job.h"
#include "api/store_signing_step.h"
#include "fontseal/csp.h"
#include "fontseal/fontseal.h"
#include "store/win_csp.h"

using fontseal::Csp;
using fontseal::CspCert;

extern "C" FONTSEAL_API int32_t win_sign_font(const char* input_path, const char* output_path,
                                              CspCert* certificate, int32_t use_sha1,
                                              int32_t statement, const char16_t* program_name,
                                              const char* more_info_url,
                                              const char* timestamp_url) {
    fontseal::StoreSigningStep step(certificate);
    const fontseal::SignOptions options(use_sha1, statement, program_name, more_info_url,
                                        timestamp_url);
    return fontseal::sign_job(input_path, output_path, step, options);
}

extern "C" FONTSEAL_API Csp* create_win_csp(Csp** out) {
    Csp* csp = new (std::nothrow) fontseal::WinCsp();
    if (out) *out = csp;
    return csp;
}

extern "C" FONTSEAL_API void release_win_csp(Csp* csp) { delete csp; }
