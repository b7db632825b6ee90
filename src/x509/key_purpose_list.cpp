// SPDX-License-Identifier: Apache-2.0
#include "x509/key_purpose_list.h"

#include <vector>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_reader.h"

namespace fontseal {

bool KeyPurposeList::decodeFrom(DerReader& reader) {
    try {
        purposes_.setCount(0);
        int tag = 0;
        int formCode = 0;
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        while (reader.peek(tag, formCode)) {
            if (tag != kTagOid || formCode != kFormUniversal) throw error(kErrUnexpectedElement);
            reader.readOid(purposes_.append());
        }
        reader.leave();
        return true;
    } catch (const error&) {
        return false;
    }
}

int32_t KeyPurposeList::codeSigningPurpose() const {
    int32_t purpose = kPurposeNone;
    for (const DerOid& oid : purposes_) {
        if (oid.equals(kOidCommercialCodeSigning)) return kPurposeCommercial;
        if (oid.equals(kOidIndividualCodeSigning)) purpose = kPurposeIndividual;
    }
    return purpose;
}

bool KeyPurposeList::listsCodeSigning() const {
    for (const DerOid& oid : purposes_)
        if (oid.equals(kOidCodeSigning)) return true;
    return false;
}

namespace {

// [3] extensions of a TBSCertificate.
constexpr int kTagExtensions = 3;
// KeyUsage bit 0, the first bit of the BIT STRING's first octet.
constexpr uint8_t kDigitalSignatureBit = 0x80;
// KeyUsage names nine bits; a longer string is not one.
constexpr int kMaxKeyUsageBits = 64;

// The OCTET STRING's content, as a reader of its own.
std::vector<uint8_t> octets(DerReader& reader) {
    reader.expect(kTagOctetString, kFormUniversal);
    const int length = reader.readOctets(nullptr, 0);
    if (length < 0) throw error(kErrUnexpectedElement);
    std::vector<uint8_t> value(static_cast<size_t>(length) + 1);
    reader.readOctets(value.data(), length);
    value.resize(static_cast<size_t>(length));
    return value;
}

CodeSigningUse judge_extensions(DerReader& reader) {
    int tag = 0, formCode = 0;
    CodeSigningUse use = CodeSigningUse::kAllowed;
    reader.enter();  // [3]
    reader.expect(kTagSequence, kFormConstructed);
    reader.enter();
    while (reader.peek(tag, formCode)) {
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        DerOid id;
        reader.expect(kTagOid, kFormUniversal);
        reader.readOid(id);
        if (reader.peek(tag, formCode) && tag == kTagBoolean && formCode == kFormUniversal)
            reader.skip();  // critical
        // Only the first verdict against code signing counts; the purposes
        // outrank the key usage whichever comes first.
        if (id.equals(kOidExtendedKeyUsage)) {
            std::vector<uint8_t> value = octets(reader);
            MemoryStream bytes(value.data(), static_cast<int>(value.size()));
            DerReader valueReader(bytes);
            KeyPurposeList purposes;
            if (!purposes.decodeFrom(valueReader)) return CodeSigningUse::kUnreadable;
            if (!purposes.listsCodeSigning()) return CodeSigningUse::kNotForCodeSigning;
        } else if (id.equals(kOidKeyUsage)) {
            std::vector<uint8_t> value = octets(reader);
            MemoryStream bytes(value.data(), static_cast<int>(value.size()));
            DerReader valueReader(bytes);
            valueReader.expect(kTagBitString, kFormUniversal);
            const int bits = valueReader.readBits(nullptr, 0);
            if (bits > kMaxKeyUsageBits) return CodeSigningUse::kUnreadable;
            std::vector<uint8_t> flags(static_cast<size_t>(bits) / 8 + 2, 0);
            valueReader.readBits(flags.data(), static_cast<int>(flags.size()));
            if (bits == 0 || !(flags[0] & kDigitalSignatureBit))
                use = CodeSigningUse::kNoDigitalSignature;
        } else {
            reader.skip();
        }
        reader.leave();
    }
    return use;
}

}  // namespace

CodeSigningUse certificate_code_signing(const uint8_t* der, size_t length) {
    if (!der || length == 0 || length > 0x7FFFFFFF) return CodeSigningUse::kUnreadable;
    try {
        MemoryStream stream(der, static_cast<int>(length));
        DerReader reader(stream);
        int tag = 0, formCode = 0;
        reader.expect(kTagSequence, kFormConstructed);  // Certificate
        reader.enter();
        reader.expect(kTagSequence, kFormConstructed);  // TBSCertificate
        reader.enter();
        while (reader.peek(tag, formCode)) {
            // Version, serial number, names, validity, key, unique ids.
            if (tag == kTagExtensions && formCode == kFormContextConstructed)
                return judge_extensions(reader);
            reader.skip();
        }
        return CodeSigningUse::kAllowed;  // no extensions
    } catch (const error&) {
        return CodeSigningUse::kUnreadable;
    } catch (int) {
        return CodeSigningUse::kUnreadable;
    }
}

const char* code_signing_fault(CodeSigningUse use) {
    switch (use) {
        case CodeSigningUse::kAllowed:
            return "";
        case CodeSigningUse::kNotForCodeSigning:
            return "its extended key usage does not list code signing (1.3.6.1.5.5.7.3.3)";
        case CodeSigningUse::kNoDigitalSignature:
            return "its key usage does not include digitalSignature";
        case CodeSigningUse::kUnreadable:
            break;
    }
    return "its key usages cannot be read";
}

}  // namespace fontseal
