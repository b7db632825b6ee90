// SPDX-License-Identifier: Apache-2.0
#include "api/cert_file_loader.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"
#include "base/memory_stream.h"
#include "base/ossl_ptr.h"
#include "codec/base64_source.h"
#include "der/der_reader.h"
#include "pkcs7/p7_signed_data.h"
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

// One decoded PEM block.
struct PemBlock {
    std::string label;
    std::vector<uint8_t> der;
};

// Every PEM block of the file, in order, as OpenSSL's PEM reader finds them
// (text outside the blocks is skipped). Stops at the first damaged block.
std::vector<PemBlock> readPemBlocks(const char* path) {
    std::vector<PemBlock> blocks;
    FileSource file(path);
    if (file.size() <= 0) return blocks;
    std::vector<uint8_t> text(static_cast<size_t>(file.size()));
    try {
        file.read(text.data(), file.size());
    } catch (const error&) {
        return blocks;
    }
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) return blocks;
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long length = 0;
        if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) break;
        try {
            blocks.push_back(PemBlock{name, std::vector<uint8_t>(data, data + length)});
        } catch (...) {
            OPENSSL_free(name);
            OPENSSL_free(header);
            OPENSSL_free(data);
            throw;
        }
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
    ERR_clear_error();  // the end of the text is reported as an error
    return blocks;
}

// Appends the certificate of one DER element when it can be read.
void appendReadable(const std::vector<uint8_t>& der, GrowArray<P7Certificate>& list) {
    MemoryStream bytes(der.data(), static_cast<int>(der.size()));
    DerReader reader(bytes);
    const int before = list.count();
    try {
        if (list.append().decodeFrom(reader)) return;
    } catch (const error&) {
    }
    list.setCountExact(before);
}

bool readEveryPemCertificate(const std::vector<PemBlock>& blocks, GrowArray<P7Certificate>& list) {
    for (const PemBlock& block : blocks)
        if (block.label == "CERTIFICATE") appendReadable(block.der, list);
    return list.count() > 0;
}

bool readPemBundle(const std::vector<PemBlock>& blocks, GrowArray<P7Certificate>& list) {
    for (const PemBlock& block : blocks) {
        if (block.label != "PKCS7") continue;
        MemoryStream bytes(block.der.data(), static_cast<int>(block.der.size()));
        DerReader reader(bytes);
        try {
            if (readBundle(reader, list)) return true;
        } catch (const error&) {
        }
        list.setCountExact(0);
        return false;
    }
    return false;
}

}  // namespace

int load_certificates(const char* path, GrowArray<P7Certificate>& list, int* attempt,
                      bool every_pem_certificate) {
    list.setCountExact(0);
    if (attempt) *attempt = -1;
    if (every_pem_certificate && readEveryPemCertificate(readPemBlocks(path), list)) {
        if (attempt) *attempt = kEveryPemCertificateAttempt;
        return list.count();
    }
    list.setCountExact(0);
    for (int i = 0; i < kCertificateAttempts; ++i) {
        // A fresh open for every attempt, so a failed one leaves nothing
        // behind; an open failure ends the whole load.
        FileSource file(path);
        if (readAttempt(file, i, list)) {
            if (attempt) *attempt = i;
            return list.count();
        }
    }
    if (readPemBundle(readPemBlocks(path), list)) {
        if (attempt) *attempt = kPemBundleAttempt;
        return list.count();
    }
    list.setCountExact(0);
    return 0;
}

int certificates_from_der(const std::vector<std::vector<uint8_t>>& certificates,
                          GrowArray<P7Certificate>& list) {
    list.setCountExact(0);
    for (const std::vector<uint8_t>& der : certificates) appendReadable(der, list);
    return list.count();
}

}  // namespace fontseal
