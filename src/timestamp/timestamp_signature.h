// SPDX-License-Identifier: Apache-2.0
// Time-stamping a finished signature blob: the signer's signature value goes
// to a time-stamp server, and what comes back is merged into the blob as an
// unauthenticated attribute of the signer, together with the server's
// certificates that the blob lacks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/grow_array.h"
#include "base/shared_ref.h"
#include "der/der_value.h"
#include "der/digest_algorithm.h"
#include "timestamp/timestamp_post.h"

namespace fontseal {

// What is to be time-stamped.
struct TimeStampSubject {
    const uint8_t* signature;  // the content of the signer's encryptedDigest
    int length;
    DigestAlgorithm digestKind;                              // the signer's digest algorithm
    DigestAlgorithm imprintHash = DigestAlgorithm::kSha256;  // of an RFC 3161 imprint; never MD5
};

// What a protocol hands back for the merge.
struct TimeStampToken {
    // The attribute that becomes the signer's only unauthenticated attribute.
    SharedRef<DerValue> attribute;
    // Certificates the server sent; those the blob lacks are appended to it.
    GrowArray<SharedRef<DerValue>> certificates{16, 0xDF};
    // The time the server vouches for, in seconds since 1970-01-01 UTC;
    // hasTime is false when the stamp names none.
    int64_t time = 0;
    bool hasTime = false;
};

// One way of asking a server for a time stamp. Another protocol is one more
// such entry; the decoding of the blob and the merge stay shared.
struct TimestampProtocol {
    const char* name;
    // True with `token` filled when the server at `url` returned a usable time
    // stamp for `subject`; otherwise false with `fault` saying why, for a
    // person. Never raises for anything the server does.
    bool (*obtain)(const TimeStampSubject& subject, const char* url,
                   const TransferOptions& transfer, TimeStampToken& token, std::string& fault);
};

// The server counter-signs the signature value: a base64 request of type
// 1.3.6.1.4.1.311.3.2.1, a base64 PKCS#7 SignedData reply whose one signer
// info becomes a counterSignature (1.2.840.113549.1.9.6) attribute.
extern const TimestampProtocol kCounterSignatureProtocol;

// RFC 3161: a DER TimeStampReq (application/timestamp-query) with a message
// imprint of the signature value, a random nonce and certReq set; the reply's
// status, imprint, nonce and token signature are checked, and the
// TimeStampToken becomes an attribute 1.3.6.1.4.1.311.3.3.1 carrying its own
// certificates.
extern const TimestampProtocol kRfc3161Protocol;

// The two protocols' handling of what a server sent, apart from the
// exchange (so that it can be driven without a server).
//
// The DER TimeStampReq for `subject`, with a random nonce, or with `nonce`
// (big-endian bytes) when given. False when it cannot be made.
bool make_rfc3161_query(const TimeStampSubject& subject, std::vector<uint8_t>& query,
                        const uint8_t* nonce = nullptr, int nonceLength = 0);
// Checks `reply` (a DER TimeStampResp) against `query`: status granted, a
// token whose TSTInfo has the query's imprint and nonce, signed by the
// certificate the token carries and names (ESS signing-certificate, v1 or
// v2), whose TSA name, if any, is that certificate's, and which may
// time-stamp. Whether that certificate is to be trusted is for whoever checks
// the font. True with `token` filled; false with `fault` saying why.
bool read_rfc3161_reply(const TimeStampSubject& subject, const uint8_t* query, int queryLength,
                        const uint8_t* reply, int replyLength, TimeStampToken& token,
                        std::string& fault);
// Checks a counter-signature reply (`text`, `length` bytes of base64 of a
// PKCS#7 SignedData): one signer, whose messageDigest is that of the
// signature value, whose signature holds, made by a certificate the reply
// carries and that may time-stamp. True with `token` filled; false with
// `fault` saying why.
bool read_counter_signature_reply(const TimeStampSubject& subject, const uint8_t* text, int length,
                                  TimeStampToken& token, std::string& fault);

// One server of a fail-over list.
struct TimestampServer {
    const char* url;
    const TimestampProtocol* protocol;
};

// Which server of the list gave the time stamp (-1: none did) and the time
// it carries.
struct TimestampOutcome {
    int server = -1;
    int64_t time = 0;
    bool hasTime = false;
    // Without a time stamp: each server asked and why it gave none
    // ("URL: connection refused; URL: ..."). Empty once one gave a stamp.
    std::string failures;
};

// Reads the blob (a ContentInfo of type signedData with exactly one signer),
// asks the server at `url` for a time stamp and encodes the blob again into a
// malloc'd block stored in *out, with the time stamp when one was had and
// unchanged otherwise. Returns that block's length, or -1 (nothing stored in
// *out) for a null URL, a blob that cannot be read, or an encoding failure.
// A null URL never touches the network.
int32_t timestamp_signature(const uint8_t* blob, int32_t blob_length, uint8_t** out,
                            const char* url);
int32_t timestamp_signature(const uint8_t* blob, int32_t blob_length, uint8_t** out,
                            const char* url, const TimestampProtocol& protocol,
                            const TransferOptions& transfer);

// The same with a list of servers, asked in order until one gives a usable
// time stamp; `outcome` tells which one did. No servers: -1.
int32_t timestamp_signature(const uint8_t* blob, int32_t blob_length, uint8_t** out,
                            const TimestampServer* servers, int server_count,
                            DigestAlgorithm imprint_hash, const TransferOptions& transfer,
                            TimestampOutcome& outcome);

}  // namespace fontseal
