// Result codes of the signing calls, as the library uses them internally.
#pragma once
#include <cstdint>

#include "fontseal/fontseal.h"

namespace fontseal {

constexpr int32_t kResultOk = FONTSEAL_OK;
constexpr int32_t kResultInternal = FONTSEAL_E_INTERNAL;
constexpr int32_t kResultFontObject = FONTSEAL_E_FONT_OBJECT;
constexpr int32_t kResultInputOpen = FONTSEAL_E_INPUT_OPEN;
constexpr int32_t kResultOutputCreate = FONTSEAL_E_OUTPUT_CREATE;
constexpr int32_t kResultFontDirectory = FONTSEAL_E_FONT_DIRECTORY;
constexpr int32_t kResultCertOpen = FONTSEAL_E_CERT_OPEN;
constexpr int32_t kResultNoCertificate = FONTSEAL_E_NO_CERTIFICATE;
constexpr int32_t kResultKeyOpen = FONTSEAL_E_KEY_OPEN;
constexpr int32_t kResultKeyRead = FONTSEAL_E_KEY_READ;
constexpr int32_t kResultKeyPassword = FONTSEAL_E_KEY_PASSWORD;
constexpr int32_t kResultNoMatchingCert = FONTSEAL_E_NO_MATCHING_CERT;
constexpr int32_t kResultContent = FONTSEAL_E_CONTENT;
constexpr int32_t kResultSign = FONTSEAL_E_SIGN;

}  // namespace fontseal
