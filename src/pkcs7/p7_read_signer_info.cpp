// SPDX-License-Identifier: Apache-2.0
#include "der/oids.h"
#include "pkcs7/p7_read_signer_info.h"

#include "der/counting_sink.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "base/error.h"
#include "base/memory_stream.h"

namespace fontseal {

namespace {

// Captures the next element whole, after checking its tag and form code.
SharedRef<DerValue> capture(DerReader& reader, int tag, int formCode) {
    reader.expect(tag, formCode);
    auto* raw = new DerRaw();
    SharedRef<DerValue> ref(raw);
    MemoryStream scratch(16384, 16384);
    int length = reader.copyElement(scratch);
    raw->adopt(scratch.detach(), length);
    return ref;
}

bool nextIs(DerReader& reader, int tag, int formCode) {
    int t = 0, f = 0;
    return reader.peek(t, f) && t == tag && f == formCode;
}

DigestAlgorithm digestKindOf(DerRaw& algorithm) {
    MemoryStream bytes(algorithm.data(), algorithm.length());
    DerReader inner(bytes);
    inner.expect(kTagSequence, kFormConstructed);
    inner.enter();
    DerOid oid;
    inner.readOid(oid);
    DigestAlgorithm kind = DigestAlgorithm::kMd5;
    if (!digest_from_oid(oid, kind)) throw error(kErrBadDigestAlgorithm);
    inner.leave();
    return kind;
}

}  // namespace

bool P7ReadSignerInfo::decodeFrom(DerReader& reader) {
    decodeError_ = 0;
    try {
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        version_ = capture(reader, kTagInteger, kFormUniversal);
        issuerAndSerial_ = capture(reader, kTagSequence, kFormConstructed);
        digestAlgorithm_ = capture(reader, kTagSequence, kFormConstructed);
        digestKind_ = digestKindOf(*static_cast<DerRaw*>(digestAlgorithm_.get()));
        authenticated_.release();
        if (nextIs(reader, 0, kFormContextConstructed)) {
            authenticated_ = capture(reader, 0, kFormContextConstructed);
        }
        encryptionAlgorithm_ = capture(reader, kTagSequence, kFormConstructed);
        encryptedDigest_ = capture(reader, kTagOctetString, kFormUniversal);
        unauthenticated_.release();
        if (nextIs(reader, 1, kFormContextConstructed)) {
            unauthenticated_ = capture(reader, 1, kFormContextConstructed);
        }
        reader.expectEnd();
        reader.leave();
        return true;
    } catch (const error& e) {
        decodeError_ = e.code;
        return false;
    }
}

int P7ReadSignerInfo::encode(ByteSink* sink) {
    const SharedRef<DerValue>* parts[] = {
        &version_,        &issuerAndSerial_,     &digestAlgorithm_,
        &authenticated_,  &encryptionAlgorithm_, &encryptedDigest_,
        &unauthenticated_};
    int64_t body = 0;
    for (auto* part : parts) {
        if (!*part) continue;
        int size = (*part)->encode(nullptr);
        if (size < 0) throw error(kErrEncodeMismatch);
        body += size;
    }
    if (body > 0x7FFFFFFF) throw error(kErrBadLength);
    int length = static_cast<int>(body);
    int total = writeHeader(nullptr, kTagSequence, kFormConstructed, length) + length;
    if (!sink) return total;
    CountingSink out(*sink);
    writeHeader(&out, kTagSequence, kFormConstructed, length);
    for (auto* part : parts) {
        if (*part) (*part)->encode(&out);
    }
    if (out.count() != total) throw error(kErrEncodeMismatch);
    return total;
}

}  // namespace fontseal
