// SPDX-License-Identifier: Apache-2.0
// One signing job: input font to signed output font.
#pragma once
#include <cstdint>

#include "api/signing_step.h"

namespace fontseal {

// Runs the job and returns a result code of the public header (and, when
// `detail` is given, what the code leaves out). Never throws.
int32_t sign_job(const char* input_path, const char* output_path, SigningStep& signer,
                 const SignOptions& options, int32_t* detail = nullptr);

}  // namespace fontseal
