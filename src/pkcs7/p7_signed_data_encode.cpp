// SPDX-License-Identifier: Apache-2.0
#include "der/oids.h"
#include "der/counting_sink.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/p7_algorithm_id.h"
#include "pkcs7/p7_signed_data.h"
#include "pkcs7/p7_signer_info_base.h"
#include "base/error.h"

namespace fontseal {

namespace {

int sizeOfList(P7SignedData::ValueList& list) {
    int64_t total = 0;
    for (auto& value : list) {
        int size = value->encode(nullptr);
        if (size < 0) throw error(kErrEncodeMismatch);
        total += size;
    }
    if (total > 0x7FFFFFFF) throw error(kErrBadLength);
    return static_cast<int>(total);
}

void writeList(ByteSink* sink, P7SignedData::ValueList& list) {
    for (auto& value : list) value->encode(sink);
}

int checkedSum(int64_t total) {
    if (total > 0x7FFFFFFF) throw error(kErrBadLength);
    return static_cast<int>(total);
}

}  // namespace

int P7SignedData::encode(ByteSink* sink) {
    if (!content_) throw error(kErrUnexpectedElement);

    // Every algorithm once, in the order of the enumeration (MD5, SHA-1, then
    // the SHA-2 family), whatever order the signers use them in.
    constexpr int kKinds = static_cast<int>(DigestAlgorithm::kSha512) + 1;
    bool used[kKinds] = {};
    for (auto& value : signerInfos_) {
        uint32_t code = value->typeCode();
        if (code != kTypeSignerInfo && code != kTypeReadSignerInfo) continue;
        auto* signer = dynamic_cast<P7SignerInfoBase*>(value.get());
        if (!signer) continue;
        const int kind = static_cast<int>(signer->digestKind());
        if (kind >= 0 && kind < kKinds) used[kind] = true;
    }
    int algorithms = 0;
    for (int kind = 0; kind < kKinds; ++kind) {
        if (!used[kind]) continue;
        algorithms += P7AlgorithmId(digest_oid(static_cast<DigestAlgorithm>(kind))).encode(nullptr);
    }

    int version = encodeInteger(nullptr, 1);
    int algorithmSet = writeHeader(nullptr, kTagSet, kFormConstructed, algorithms) + algorithms;
    int content = content_->encode(nullptr);
    // Signer infos are read only after a certificates field, so one is
    // written, empty if need be, whenever there are signers.
    const bool certificatesField = certificates_.count() || signerInfos_.count();
    int certificates = certificates_.count() ? sizeOfList(certificates_) : 0;
    int certificateField =
        certificatesField
            ? writeHeader(nullptr, 0, kFormContextConstructed, certificates) + certificates
            : 0;
    int revocations = revocationLists_.count() ? sizeOfList(revocationLists_) : 0;
    int revocationField =
        revocationLists_.count()
            ? writeHeader(nullptr, 1, kFormContextConstructed, revocations) + revocations
            : 0;
    int signers = sizeOfList(signerInfos_);
    int signerSet = writeHeader(nullptr, kTagSet, kFormConstructed, signers) + signers;

    int body = checkedSum(int64_t(version) + algorithmSet + content + certificateField +
                          revocationField + signerSet);
    int signedData =
        checkedSum(int64_t(writeHeader(nullptr, kTagSequence, kFormConstructed, body)) + body);
    int wrapper = checkedSum(int64_t(writeHeader(nullptr, 0, kFormContextConstructed, signedData)) +
                             signedData);
    int outerBody = checkedSum(int64_t(contentType_.encode(nullptr)) + wrapper);
    int total = checkedSum(
        int64_t(writeHeader(nullptr, kTagSequence, kFormConstructed, outerBody)) + outerBody);
    if (!sink) return total;

    CountingSink out(*sink);
    writeHeader(&out, kTagSequence, kFormConstructed, outerBody);
    contentType_.encode(&out);
    writeHeader(&out, 0, kFormContextConstructed, signedData);
    writeHeader(&out, kTagSequence, kFormConstructed, body);
    encodeInteger(&out, 1);
    writeHeader(&out, kTagSet, kFormConstructed, algorithms);
    for (int kind = 0; kind < kKinds; ++kind) {
        if (used[kind]) P7AlgorithmId(digest_oid(static_cast<DigestAlgorithm>(kind))).encode(&out);
    }
    content_->encode(&out);
    if (certificatesField) {
        writeHeader(&out, 0, kFormContextConstructed, certificates);
        writeList(&out, certificates_);
    }
    if (revocationLists_.count()) {
        writeHeader(&out, 1, kFormContextConstructed, revocations);
        writeList(&out, revocationLists_);
    }
    writeHeader(&out, kTagSet, kFormConstructed, signers);
    writeList(&out, signerInfos_);
    if (out.count() != total) throw error(kErrEncodeMismatch);
    return total;
}

}  // namespace fontseal
