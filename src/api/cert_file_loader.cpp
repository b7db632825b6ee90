#include "api/cert_file_loader.h"

#include <cstring>

#include "codec/base64_source.h"
#include "der/der_reader.h"
#include "pkcs7/p7_signed_data.h"
#include "base/error.h"
#include "base/memory_stream.h"
#include "platform/file_source.h"

namespace fontseal {
namespace {

constexpr char kPemHeader[] = "-----BEGIN CERTIFICATE-----";
constexpr int kPemHeaderLength = sizeof kPemHeader - 1;

// Consumes the PEM header line's text when the file starts with it exactly.
// The line end after it is whitespace to the base64 decoder.
bool skipPemHeader(FileSource& file) {
    if (file.remaining() < kPemHeaderLength + 1) return false;
    uint8_t text[kPemHeaderLength];
    try {
        file.read(text, kPemHeaderLength);
    } catch (const error&) {
        return false;
    }
    return std::memcmp(text, kPemHeader, kPemHeaderLength) == 0;
}

bool readSingle(DerReader& reader, GrowArray<P7Certificate>& list) {
    if (list.append().decodeFrom(reader)) return true;
    list.setCountExact(0);
    return false;
}

// Takes shared references to the bundle's certificates. The bundle decoder
// keeps only certificates it could read, so every member is one; anything
// else would be left out rather than become an entry without fields.
bool readBundle(DerReader& reader, GrowArray<P7Certificate>& list) {
    P7SignedData bundle;
    if (!bundle.decodeFrom(reader)) return false;
    P7SignedData::ValueList& members = bundle.certificates();
    int usable = 0;
    for (const SharedRef<DerValue>& member : members)
        if (member && member->typeCode() == kTypeCertificate) ++usable;
    list.setCountExact(usable);
    int next = 0;
    for (const SharedRef<DerValue>& member : members) {
        if (!member || member->typeCode() != kTypeCertificate) continue;
        list[next++] = *static_cast<const P7Certificate*>(member.get());
    }
    return true;
}

// The decodable text, decoded whole. Parsing it from memory gives the DER
// reader a known length, so an element that claims more bytes than the
// text holds is refused as soon as its header is seen instead of failing
// half-way through a copy, after which a list walk could meet the same
// element again and again.
void decodeText(Base64DecodingSource& text, MemoryStream& out) {
    uint8_t byte = 0;
    while (!text.atEnd()) {
        text.read(&byte, 1);
        out.write(&byte, 1);
    }
}

bool readAttempt(FileSource& file, int attempt, GrowArray<P7Certificate>& list) {
    const int textForm = attempt % 4;
    MemoryStream decoded;
    try {
        if (textForm == 1 && !skipPemHeader(file)) return false;
        if (textForm == 1 || textForm == 2) {
            Base64Source text(file);
            decodeText(text, decoded);
        } else if (textForm == 3) {
            WideBase64Source text(file);
            decodeText(text, decoded);
        }
    } catch (const error&) {
        return false;
    }
    MemoryStream decodedBytes(decoded.data(), decoded.position());
    ByteSource& source = textForm == 0 ? static_cast<ByteSource&>(file) : decodedBytes;

    DerReader reader(source);
    try {
        return attempt < 4 ? readSingle(reader, list) : readBundle(reader, list);
    } catch (const error&) {
        list.setCountExact(0);
        return false;
    }
}

}  // namespace

int load_certificates(const char* path, GrowArray<P7Certificate>& list, int* attempt) {
    list.setCountExact(0);
    if (attempt) *attempt = -1;
    for (int i = 0; i < kCertificateAttempts; ++i) {
        // A fresh open for every attempt, so a failed one leaves nothing
        // behind; an open failure ends the whole load.
        FileSource file(path);
        if (readAttempt(file, i, list)) {
            if (attempt) *attempt = i;
            return list.count();
        }
    }
    return 0;
}

}  // namespace fontseal
