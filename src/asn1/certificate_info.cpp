#include "asn1/certificate_info.h"

#include <algorithm>

#include "asn1/der_errors.h"
#include "asn1/der_reader.h"
#include "base/error.h"
#include "base/memory_stream.h"

namespace fontseal {
namespace {

constexpr int kScratchSize = 16384;

// Peeks the next element and insists on its tag and form code.
void expectElement(DerReader& reader, int tag, int formCode) {
    int t = 0;
    int f = 0;
    if (!reader.peek(t, f) || t != tag || f != formCode) throw error(kErrUnexpectedElement);
}

// Peeks and insists that some element follows; returns its tag.
int expectAny(DerReader& reader) {
    int tag = 0;
    int formCode = 0;
    if (!reader.peek(tag, formCode)) throw error(kErrUnexpectedElement);
    return tag;
}

// The next element whole, header included, as it stands in the input.
std::vector<uint8_t> copyElement(DerReader& reader) {
    MemoryStream scratch(kScratchSize);
    reader.copyElement(scratch);
    return std::vector<uint8_t>(scratch.data(), scratch.data() + scratch.position());
}

// An INTEGER's content as a little-endian number as long as the content.
std::vector<uint8_t> readIntegerBytes(DerReader& reader) {
    expectElement(reader, 2, 0);
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

    expectElement(reader, 16, 1);  // Certificate
    reader.enter();
    expectElement(reader, 16, 1);  // TBSCertificate
    reader.enter();

    expectAny(reader);
    reader.peek(tag, formCode);
    int version = 0;
    if (tag == 0 && formCode == 5) {
        reader.enter();
        version = reader.readInt();
        reader.leave();
    }

    expectElement(reader, 2, 0);
    serial_ = copyElement(reader);
    expectAny(reader);  // signature AlgorithmIdentifier
    reader.skip();
    expectAny(reader);
    issuer_ = copyElement(reader);
    expectAny(reader);  // validity
    reader.skip();
    expectAny(reader);  // subject
    reader.skip();

    expectAny(reader);  // subjectPublicKeyInfo
    reader.enter();
    expectAny(reader);  // its AlgorithmIdentifier
    reader.enter();
    expectElement(reader, 6, 0);
    reader.readOid(algorithm_);
    if (!algorithm_.equals(kOidRsaEncryption) && !algorithm_.equals(kOidRsaX500))
        throw error(kErrUnexpectedElement);
    reader.leave();
    readPublicKey(reader);
    reader.leave();

    // Only version 3 certificates carry extensions.
    if (version > 1) {
        while (reader.peek(tag, formCode)) {
            if (tag == 3 && formCode == 5) {
                readExtensions(reader);
                break;
            }
            reader.skip();  // issuer or subject unique identifier
        }
    }
    reader.leave();  // TBSCertificate

    expectElement(reader, 16, 1);  // signatureAlgorithm
    reader.skip();
    if (expectAny(reader) != 3) throw error(kErrUnexpectedElement);  // signatureValue
    reader.skip();
    reader.leave();  // Certificate
}

// subjectPublicKey: a BIT STRING holding the DER of RSAPublicKey.
void CertificateInfo::readPublicKey(DerReader& reader) {
    expectElement(reader, 3, 0);
    const int bits = reader.readBits(nullptr, 0);
    if (bits < 0) throw error(kErrBadBitString);
    const int capacity = (bits + 7) / 8;
    // One spare byte keeps the buffer non-null for an empty key.
    std::vector<uint8_t> key(static_cast<size_t>(capacity) + 1);
    reader.readBits(key.data(), capacity + 1);

    MemoryStream keyBytes(key.data(), bits / 8);
    DerReader keyReader(keyBytes);
    expectElement(keyReader, 16, 1);
    keyReader.enter();
    modulus_ = readIntegerBytes(keyReader);
    exponent_ = readIntegerBytes(keyReader);
    int tag = 0;
    int formCode = 0;
    if (keyReader.peek(tag, formCode)) throw error(kErrUnexpectedElement);
    keyReader.leave();
}

// The [3] wrapper around the Extensions list. Every extension is examined:
// the extended key usage need not come first, and a certificate may carry
// an empty list.
void CertificateInfo::readExtensions(DerReader& reader) {
    int tag = 0;
    int formCode = 0;
    reader.enter();
    expectElement(reader, 16, 1);
    reader.enter();
    while (reader.peek(tag, formCode)) {
        if (tag != 16 || formCode != 1) throw error(kErrUnexpectedElement);
        reader.enter();
        DerOid id;
        expectElement(reader, 6, 0);
        reader.readOid(id);
        if (reader.peek(tag, formCode) && tag == 1 && formCode == 0) reader.skip();  // critical
        if (id.equals(kOidExtendedKeyUsage)) {
            expectElement(reader, 4, 0);
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
