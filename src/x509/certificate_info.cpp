// SPDX-License-Identifier: Apache-2.0
#include "x509/certificate_info.h"

#include <algorithm>

#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_reader.h"
#include "base/error.h"
#include "base/memory_stream.h"

namespace fontseal {
namespace {

constexpr int kScratchSize = 16384;
// [3] of TBSCertificate.
constexpr int kTagExtensions = 3;
constexpr int kMaxPublicKeyBits = 8 * 65536;

// The next element whole, header included, as it stands in the input.
std::vector<uint8_t> copyElement(DerReader& reader) {
    MemoryStream scratch(kScratchSize);
    reader.copyElement(scratch);
    return std::vector<uint8_t>(scratch.data(), scratch.data() + scratch.position());
}

// An INTEGER's content as a little-endian number as long as the content.
std::vector<uint8_t> readIntegerBytes(DerReader& reader) {
    reader.expect(kTagInteger, kFormUniversal);
    const int length = reader.readIntegerBytes(nullptr, 0);
    // A null buffer only asks for the length, so an empty INTEGER must be
    // refused here or the reader would never move past it.
    if (length <= 0) throw error(kErrBadInteger);
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    reader.readIntegerBytes(bytes.data(), length);
    return bytes;
}

}  // namespace

bool CertificateInfo::decodeFrom(DerReader& reader) {
    purpose_ = kPurposeNone;
    try {
        readCertificate(reader);
        return true;
    } catch (const error&) {
        return false;
    }
}

void CertificateInfo::readCertificate(DerReader& reader) {
    int tag = 0;
    int formCode = 0;

    reader.expect(kTagSequence, kFormConstructed);  // Certificate
    reader.enter();
    reader.expect(kTagSequence, kFormConstructed);  // TBSCertificate
    reader.enter();

    reader.expectAny();
    reader.peek(tag, formCode);
    int version = 0;
    if (tag == 0 && formCode == 5) {
        reader.enter();
        version = reader.readInt();
        reader.leave();
    }

    reader.expect(kTagInteger, kFormUniversal);
    serial_ = copyElement(reader);
    reader.expectAny();  // signature AlgorithmIdentifier
    reader.skip();
    reader.expectAny();
    issuer_ = copyElement(reader);
    reader.expectAny();  // validity
    reader.skip();
    reader.expectAny();  // subject
    reader.skip();

    reader.expectAny();  // subjectPublicKeyInfo
    reader.enter();
    reader.expectAny();  // its AlgorithmIdentifier
    reader.enter();
    reader.expect(kTagOid, kFormUniversal);
    reader.readOid(algorithm_);
    if (!algorithm_.equals(kOidRsaEncryption) && !algorithm_.equals(kOidRsaX500))
        throw error(kErrUnexpectedElement);
    reader.leave();
    readPublicKey(reader);
    reader.leave();

    // Only version 3 certificates carry extensions.
    if (version > 1) {
        while (reader.peek(tag, formCode)) {
            if (tag == kTagExtensions && formCode == kFormContextConstructed) {
                readExtensions(reader);
                break;
            }
            reader.skip();  // issuer or subject unique identifier
        }
    }
    reader.leave();  // TBSCertificate

    reader.expect(kTagSequence, kFormConstructed);  // signatureAlgorithm
    reader.skip();
    if (reader.expectAny() != kTagBitString) throw error(kErrUnexpectedElement);  // signatureValue
    reader.skip();
    reader.leave();  // Certificate
}

// subjectPublicKey: a BIT STRING holding the DER of RSAPublicKey.
void CertificateInfo::readPublicKey(DerReader& reader) {
    reader.expect(kTagBitString, kFormUniversal);
    const int bits = reader.readBits(nullptr, 0);
    // No RSA public key comes near 64 KiB; a larger claim is refused before
    // anything is sized from it (and before bits + 7 could overflow).
    if (bits < 0 || bits > kMaxPublicKeyBits) throw error(kErrBadBitString);
    const int capacity = (bits + 7) / 8;
    // One spare byte keeps the buffer non-null for an empty key.
    std::vector<uint8_t> key(static_cast<size_t>(capacity) + 1);
    reader.readBits(key.data(), capacity + 1);

    MemoryStream keyBytes(key.data(), bits / 8);
    DerReader keyReader(keyBytes);
    keyReader.expect(kTagSequence, kFormConstructed);
    keyReader.enter();
    modulus_ = readIntegerBytes(keyReader);
    exponent_ = readIntegerBytes(keyReader);
    keyReader.expectEnd();
    keyReader.leave();
}

// The [3] wrapper around the Extensions list. Every extension is examined:
// the extended key usage need not come first, and a certificate may carry
// an empty list.
void CertificateInfo::readExtensions(DerReader& reader) {
    int tag = 0;
    int formCode = 0;
    reader.enter();
    reader.expect(kTagSequence, kFormConstructed);
    reader.enter();
    while (reader.peek(tag, formCode)) {
        if (tag != kTagSequence || formCode != kFormConstructed) throw error(kErrUnexpectedElement);
        reader.enter();
        DerOid id;
        reader.expect(kTagOid, kFormUniversal);
        reader.readOid(id);
        if (reader.peek(tag, formCode) && tag == kTagBoolean && formCode == kFormUniversal) reader.skip();  // critical
        if (id.equals(kOidExtendedKeyUsage)) {
            reader.expect(kTagOctetString, kFormUniversal);
            const int length = reader.readOctets(nullptr, 0);
            if (length < 0) throw error(kErrUnexpectedElement);
            std::vector<uint8_t> value(static_cast<size_t>(length) + 1);
            reader.readOctets(value.data(), length);
            MemoryStream valueBytes(value.data(), length);
            DerReader valueReader(valueBytes);
            KeyPurposeList purposes;
            if (purposes.decodeFrom(valueReader))
                purpose_ = std::max(purpose_, purposes.codeSigningPurpose());
        }
        reader.leave();
    }
    reader.leave();  // Extensions
    reader.leave();  // [3]
}

}  // namespace fontseal
