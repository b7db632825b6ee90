// SPDX-License-Identifier: Apache-2.0
// Every object identifier the library writes or compares, in one table.
// Values are dotted strings: DerOid parses them and compares against them.
#pragma once

namespace fontseal {

// Digest algorithms.
constexpr const char* kOidMd5 = "1.2.840.113549.2.5";
constexpr const char* kOidSha1 = "1.3.14.3.2.26";
constexpr const char* kOidSha256 = "2.16.840.1.101.3.4.2.1";
constexpr const char* kOidSha384 = "2.16.840.1.101.3.4.2.2";
constexpr const char* kOidSha512 = "2.16.840.1.101.3.4.2.3";

// Public keys and certificate extensions.
constexpr const char* kOidRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kOidRsaX500 = "2.5.8.1.1";
constexpr const char* kOidExtendedKeyUsage = "2.5.29.37";
constexpr const char* kOidKeyUsage = "2.5.29.15";
constexpr const char* kOidAnyExtendedKeyUsage = "2.5.29.37.0";
constexpr const char* kOidCodeSigning = "1.3.6.1.5.5.7.3.3";
constexpr const char* kOidIndividualCodeSigning = "1.3.6.1.4.1.311.2.1.21";
constexpr const char* kOidCommercialCodeSigning = "1.3.6.1.4.1.311.2.1.22";

// PKCS#7 content types and attributes.
constexpr const char* kOidData = "1.2.840.113549.1.7.1";
constexpr const char* kOidSignedData = "1.2.840.113549.1.7.2";
constexpr const char* kOidContentTypeAttribute = "1.2.840.113549.1.9.3";
constexpr const char* kOidMessageDigestAttribute = "1.2.840.113549.1.9.4";
constexpr const char* kOidSigningTimeAttribute = "1.2.840.113549.1.9.5";
constexpr const char* kOidCounterSignature = "1.2.840.113549.1.9.6";
// The content type of an RFC 3161 token's SignedData.
constexpr const char* kOidTstInfo = "1.2.840.113549.1.9.16.1.4";

// The signed content of a font signature and the signer's own attributes.
constexpr const char* kOidIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kOidStatementType = "1.3.6.1.4.1.311.2.1.11";
constexpr const char* kOidPublisherInfo = "1.3.6.1.4.1.311.2.1.12";
constexpr const char* kOidLinkAttribute = "1.3.6.1.4.1.311.2.1.28";
constexpr const char* kOidSignerFlags = "1.3.6.1.4.1.311.40.1";

// Time stamps.
constexpr const char* kOidTimeStampRequest = "1.3.6.1.4.1.311.3.2.1";
constexpr const char* kOidRfc3161TimeStamp = "1.3.6.1.4.1.311.3.3.1";
// Who may sign a time stamp: id-kp-timeStamping, and the older purpose
// counter-signing servers' certificates carry.
constexpr const char* kOidTimeStampingPurpose = "1.3.6.1.5.5.7.3.8";
constexpr const char* kOidOlderTimeStampingPurpose = "1.3.6.1.4.1.311.10.3.2";

}  // namespace fontseal
