// SPDX-License-Identifier: Apache-2.0
#include "timestamp/timestamp_signature.h"

#include <cstdlib>

#include "base/error.h"
#include "base/heap_bytes.h"
#include "base/memory_stream.h"
#include "der/der_header.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "der/der_sequence.h"
#include "pkcs7/p7_read_signer_info.h"
#include "pkcs7/p7_signed_data.h"
#include "x509/p7_certificate.h"

namespace fontseal {

namespace {

const CertificateInfo* infoOf(const SharedRef<DerValue>& value) {
    if (!value || value->typeCode() != kTypeCertificate) return nullptr;
    return static_cast<P7Certificate*>(value.get())->info().get();
}

bool sameBytes(const uint8_t* a, int aLength, const uint8_t* b, int bLength) {
    if (aLength != bLength) return false;
    for (int i = 0; i < aLength; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// A certificate is known by its issuer and serial number together: serial
// numbers are only unique per issuer, and small ones (1, 2, ...) are common
// to many private authorities, so a server certificate that merely shares a
// serial with the publisher's must still be added.
bool holdsCertificate(P7SignedData::ValueList& certificates, const CertificateInfo& wanted) {
    for (auto& value : certificates) {
        const CertificateInfo* info = infoOf(value);
        if (info &&
            sameBytes(info->serial(), info->serialLength(), wanted.serial(),
                      wanted.serialLength()) &&
            sameBytes(info->issuer(), info->issuerLength(), wanted.issuer(), wanted.issuerLength()))
            return true;
    }
    return false;
}

void mergeCertificates(P7SignedData::ValueList& certificates,
                       GrowArray<SharedRef<DerValue>>& received) {
    for (auto& value : received) {
        const CertificateInfo* info = infoOf(value);
        if (info && !holdsCertificate(certificates, *info)) certificates.append() = value;
    }
}

// The blob encoded into a malloc'd block; its length, or -1.
int encode_blob(P7SignedData& signedData, HeapBytes& block) {
    try {
        const int length = signedData.encode(nullptr);
        if (length <= 0) return -1;
        block.reset(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length))));
        if (!block) return -1;
        MemoryStream sink(block.get(), length);
        // A borrowed stream cannot grow: a write pass longer than the size
        // pass raises instead of overrunning the block.
        if (signedData.encode(&sink) != length) return -1;
        return length;
    } catch (const error&) {
        return -1;
    }
}

}  // namespace

int32_t timestamp_signature(const uint8_t* blob, int32_t blob_length, uint8_t** out,
                            const char* url) {
    return timestamp_signature(blob, blob_length, out, url, kCounterSignatureProtocol,
                               TransferOptions());
}

int32_t timestamp_signature(const uint8_t* blob, int32_t blob_length, uint8_t** out,
                            const char* url, const TimestampProtocol& protocol,
                            const TransferOptions& transfer) {
    const TimestampServer server{url, &protocol};
    TimestampOutcome outcome;
    return timestamp_signature(blob, blob_length, out, &server, url ? 1 : 0,
                               DigestAlgorithm::kSha256, transfer, outcome);
}

int32_t timestamp_signature(const uint8_t* blob, int32_t blob_length, uint8_t** out,
                            const TimestampServer* servers, int server_count,
                            DigestAlgorithm imprint_hash, const TransferOptions& transfer,
                            TimestampOutcome& outcome) {
    outcome = TimestampOutcome();
    if (!servers || server_count <= 0 || !blob || blob_length <= 0 || !out) return -1;

    MemoryStream source(blob, blob_length);
    DerReader reader(source);
    P7SignedData signedData;
    // A blob that does not read whole is left to the caller as it is: encoded
    // again it would lose what the decoder did not get to.
    if (!signedData.decodeFrom(reader)) return -1;
    P7SignedData::ValueList& signers = signedData.signerInfos();
    if (signers.count() != 1 || signers[0]->typeCode() != kTypeReadSignerInfo) return -1;
    auto* signer = static_cast<P7ReadSignerInfo*>(signers[0].get());
    const SharedRef<DerValue>& encryptedDigest = signer->encryptedDigest();
    if (!encryptedDigest || encryptedDigest->typeCode() != kTypeRaw) return -1;

    auto* captured = static_cast<DerRaw*>(encryptedDigest.get());
    MemoryStream digestElement(captured->data(), captured->length());
    DerOctetString signature;
    signature.decode(digestElement);

    const TimeStampSubject subject{signature.data(), signature.length(), signer->digestKind(),
                                   imprint_hash};
    for (int i = 0; i < server_count; ++i) {
        const TimestampServer& server = servers[i];
        if (!server.url || !server.protocol || !server.protocol->obtain) continue;
        // Each attempt starts afresh: a failed one may have left part of a
        // token behind.
        TimeStampToken token;
        std::string fault;
        if (!server.protocol->obtain(subject, server.url, transfer, token, fault) ||
            !token.attribute) {
            if (fault.empty()) fault = "no time stamp";
            if (!outcome.failures.empty()) outcome.failures += "; ";
            outcome.failures += std::string(server.url) + ": " + fault;
            continue;
        }
        outcome.server = i;
        outcome.failures.clear();
        outcome.time = token.time;
        outcome.hasTime = token.hasTime;
        mergeCertificates(signedData.certificates(), token.certificates);
        auto* attributes = new DerSequence(1, kFormContextConstructed);
        SharedRef<DerValue> attributesRef(attributes);
        attributes->add(token.attribute);
        signer->setUnauthenticatedAttributes(attributesRef);
        break;
    }

    HeapBytes block;
    const int length = encode_blob(signedData, block);
    if (length < 0) {
        // A time stamp that did not make it into a blob was never had.
        outcome = TimestampOutcome();
        outcome.failures = "the signature could not be encoded again with its time stamp";
        return -1;
    }
    *out = block.release();
    return length;
}

}  // namespace fontseal
