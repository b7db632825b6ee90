// SPDX-License-Identifier: Apache-2.0
// What a signer is told about a certificate that verifying will refuse: it
// signs all the same (a key may be tried before its certificate is renewed,
// and the original calls never asked), but nobody should ship such a font
// unknowingly.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace fontseal {

// The faults of the DER certificate at `der` for signing code at `now`:
// expired, not yet valid, not for code signing by the rule verifying
// applies (x509/key_purpose_list.h). One line that names the certificate,
// each fault and what `fontseal verify` will say; empty when there is none.
std::string certificate_warning(const uint8_t* der, size_t length, time_t now);

}  // namespace fontseal
