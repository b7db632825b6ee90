// SPDX-License-Identifier: Apache-2.0
// The external-signer route: the certificate file is here, the key is not;
// the host's signer function makes the one RSA signature of each font.
#pragma once
#include <cstdint>
#include <string>

#include "api/signing_step.h"
#include "fontseal/fontseal.h"

namespace fontseal {

// Signs input_path into output_path with the certificates of cert_path
// (the first one is the signer's) and `signer`. Returns a public result;
// when the signer failed or its signature was refused, `message` receives
// the line that says how (without its "(code N)").
int32_t sign_with_external_signer(const char* input_path, const char* output_path,
                                  const char* cert_path, fontseal_signer_fn signer, void* context,
                                  const SignOptions& options, int32_t* detail,
                                  std::string& message);

}  // namespace fontseal
