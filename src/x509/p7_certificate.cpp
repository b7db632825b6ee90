// SPDX-License-Identifier: Apache-2.0
#include "x509/p7_certificate.h"

#include "der/der_header.h"
#include "der/der_errors.h"
#include "der/der_reader.h"
#include "base/error.h"
#include "base/memory_stream.h"

namespace fontseal {
namespace {

// The extended-certificate form: [0] { X { SEQUENCE { INTEGER 0,
// Certificate, ... } } }. Leaves the reader at the Certificate, three
// levels down.
void enterExtendedCertificate(DerReader& reader) {
    reader.enter();  // [0]
    reader.expectAny();
    reader.enter();
    reader.expect(kTagSequence, kFormConstructed);
    reader.enter();
    if (reader.readInt() != 0) throw error(kErrBadVersion);
    reader.expect(kTagSequence, kFormConstructed);
}

}  // namespace

int P7Certificate::encode(ByteSink* sink) {
    if (!raw_) return -1;
    return raw_->encode(sink);
}

bool P7Certificate::decodeFrom(DerReader& reader) {
    try {
        int tag = 0;
        int formCode = 0;
        if (!reader.peek(tag, formCode)) return false;
        const bool plain = tag == kTagSequence && formCode == kFormConstructed;
        const bool extended = tag == 0 && formCode == 5;
        if (!plain && !extended) {
            reader.skip();
            return false;
        }
        raw_.reset(new DerRaw());
        if (!raw_->decodeFrom(reader)) return false;

        // The fields are read from the captured bytes, so a fault inside the
        // certificate never leaves the outer reader in the middle of it.
        MemoryStream bytes(raw_->data(), raw_->length());
        DerReader inner(bytes);
        if (extended) enterExtendedCertificate(inner);
        info_.reset(new CertificateInfo());
        if (!info_->decodeFrom(inner)) return false;
        if (extended) {
            inner.leave();
            inner.leave();
            inner.leave();
        }
        return true;
    } catch (const error&) {
        return false;
    }
}

}  // namespace fontseal
