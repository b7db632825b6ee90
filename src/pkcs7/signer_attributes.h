// SPDX-License-Identifier: Apache-2.0
// The three authenticated attributes that the signer supplies: publisher
// information, the fixed flags and the statement type. contentType and
// messageDigest are added by the SignerInfo itself when it is written.
// Both signing routes build them here: the own-key route as attributes,
// the store route as the DER values it hands the signed-message calls.
#pragma once
#include <cstdint>
#include <vector>

#include "base/shared_ref.h"
#include "der/oids.h"
#include "pkcs7/p7_attribute.h"

namespace fontseal {

// Statement selector values; any other value means individual.
enum : int { kStatementFromCertificate = 0, kStatementCommercial = 2 };

// SEQUENCE { [0] { [0] program name as big-endian UTF-16 } when a name is
// given, [1] { [0] URL bytes } when a URL is given }. Both may be null.
SharedRef<P7Attribute> make_publisher_info_attribute(const char16_t* program_name,
                                                     const char* more_info_url);
SharedRef<P7Attribute> make_signer_flags_attribute();
SharedRef<P7Attribute> make_statement_attribute(bool commercial);

// Statement selector 0 follows the certificate's code-signing purpose
// (only an individual purpose gives individual); 2 is commercial; anything
// else individual.
bool statement_is_commercial(int statement, int32_t certificate_purpose);

// The same three values, DER-encoded.
std::vector<uint8_t> publisher_info_value(const char16_t* program_name, const char* more_info_url);
std::vector<uint8_t> signer_flags_value();
std::vector<uint8_t> statement_value(bool commercial);

}  // namespace fontseal
