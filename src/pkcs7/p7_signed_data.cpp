// SPDX-License-Identifier: Apache-2.0
#include "pkcs7/p7_signed_data.h"

#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_reader.h"
#include "x509/p7_certificate.h"
#include "pkcs7/p7_read_signer_info.h"
#include "base/error.h"

namespace fontseal {

namespace {

// Decodes one list member. A member that fails is dropped; when its failure
// left the reader on the same element, that element is skipped, so a damaged
// member can never make the loop meet it again forever.
bool decodeMember(DerReader& reader, DerValue& member) {
    const int depth = reader.depth();
    const int32_t consumed = reader.top().consumed;
    if (member.decodeFrom(reader)) return true;
    if (reader.depth() == depth && reader.top().consumed == consumed) reader.skip();
    return false;
}

void readCertificates(DerReader& reader, P7SignedData::ValueList& certificates) {
    reader.enter();
    int tag = 0, formCode = 0;
    while (reader.peek(tag, formCode)) {
        bool certificate = (tag == kTagSequence && formCode == kFormConstructed) ||
                           (tag == 0 && formCode == kFormContextConstructed);
        if (!certificate) {
            reader.skip();
            continue;
        }
        auto* entry = new P7Certificate();
        SharedRef<DerValue> ref(entry);
        if (decodeMember(reader, *entry)) certificates.append() = ref;
    }
    reader.leave();
}

void readSignerInfos(DerReader& reader, P7SignedData::ValueList& signerInfos) {
    reader.enter();
    int tag = 0, formCode = 0;
    while (reader.peek(tag, formCode)) {
        if (tag != kTagSequence || formCode != kFormConstructed) {
            reader.skip();
            continue;
        }
        auto* signer = new P7ReadSignerInfo();
        SharedRef<DerValue> ref(signer);
        if (decodeMember(reader, *signer)) signerInfos.append() = ref;
    }
    reader.leave();
}

}  // namespace

void P7SignedData::clear() {
    contentType_.clear();
    content_.release();
    certificates_.setCount(0);
    revocationLists_.setCount(0);
    signerInfos_.setCount(0);
}

bool P7SignedData::decodeFrom(DerReader& reader) {
    clear();
    decodeError_ = 0;
    try {
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        reader.readOid(contentType_);
        if (!contentType_.equals(kOidSignedData)) throw error(kErrNotSignedData);
        reader.expect(0, kFormContextConstructed);
        reader.enter();
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        if (reader.readInt() != 1) throw error(kErrBadVersion);
        reader.expect(kTagSet, kFormConstructed);
        reader.skip();
        reader.expect(kTagSequence, kFormConstructed);
        content_.reset(new P7ContentInfo());
        if (!content_->decodeFrom(reader)) throw error(kErrBadInnerContent);

        int tag = 0, formCode = 0;
        if (!reader.peek(tag, formCode)) throw error(kErrUnexpectedElement);
        // Without a certificates field nothing further is read.
        if (tag != 0 || formCode != kFormContextConstructed) return true;
        readCertificates(reader, certificates_);

        if (!reader.peek(tag, formCode)) throw error(kErrUnexpectedElement);
        if (tag == 1) {
            if (formCode != kFormContextConstructed) throw error(kErrUnexpectedElement);
            reader.skip();
            if (!reader.peek(tag, formCode)) throw error(kErrUnexpectedElement);
        }
        reader.expect(kTagSet, kFormConstructed);
        readSignerInfos(reader, signerInfos_);
        reader.leave();  // SignedData
        reader.leave();  // [0]
        reader.leave();  // ContentInfo
        return true;
    } catch (const error& e) {
        decodeError_ = e.code;
        return false;
    }
}

}  // namespace fontseal
