// SPDX-License-Identifier: Apache-2.0
// Random and mutated DER through every reader operation and the PKCS#7
// decoders, under the sanitizers: nothing may crash, overrun or leak.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "der/der_errors.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "x509/p7_certificate.h"
#include "pkcs7/p7_content_info.h"
#include "pkcs7/p7_read_signer_info.h"
#include "pkcs7/p7_signed_data.h"
#include "base/error.h"
#include "base/memory_stream.h"
#include "support/cert_support.h"
#include "support/test_support.h"

using namespace fontseal;
using testsupport::Bytes;
using testsupport::unhex;

namespace {

// A source that cannot tell its size, like the base64 decoder.
class UnsizedSource : public ByteSource {
public:
    explicit UnsizedSource(const Bytes& bytes) : bytes_(bytes) {}
    void read(uint8_t* buffer, int count) override {
        if (count < 0 || position_ + size_t(count) > bytes_.size()) throw error(kErrReadPastEnd);
        for (int i = 0; i < count; ++i) buffer[i] = bytes_[position_++];
    }
    bool atEnd() override { return position_ >= bytes_.size(); }
    int remaining() override { return -1; }

private:
    const Bytes& bytes_;
    size_t position_ = 0;
};

class Walker {
public:
    Walker(DerReader& reader, std::mt19937& rng, bool sized)
        : reader_(reader), rng_(rng), sized_(sized) {}

    void walk(int depth) {
        int tag = 0, form = 0;
        for (int steps = 0; steps < 48 && reader_.peek(tag, form); ++steps) step(depth, form);
    }

private:
    // Buffers are sized from the reader's own answers, as callers do; on a
    // source of unknown size very large answers are not followed.
    bool affordable(int64_t size) { return size >= 0 && (sized_ || size < (1 << 20)); }

    void step(int depth, int form) {
        switch (rng_() % 11) {
            case 0:
                reader_.skip();
                break;
            case 1:
            case 2:
                if ((form & 1) || rng_() % 4 == 0) {
                    reader_.enter();
                    if (depth < 40) walk(depth + 1);
                    reader_.leave();
                } else {
                    reader_.skip();
                }
                break;
            case 3:
                reader_.readInt();
                break;
            case 4: {
                int length = reader_.readIntegerBytes(nullptr, 0);
                if (!affordable(length)) return reader_.skip();
                std::vector<uint8_t> buffer(size_t(length) + rng_() % 3);
                reader_.readIntegerBytes(buffer.data(), int(buffer.size()));
                break;
            }
            case 5: {
                DerOid oid;
                reader_.readOid(oid);
                break;
            }
            case 6: {
                int length = reader_.readOctets(nullptr, 0);
                if (!affordable(length)) return reader_.skip();
                std::vector<uint8_t> buffer(size_t(length) + 1);
                reader_.readOctets(buffer.data(), length);
                break;
            }
            case 7: {
                int bits = reader_.readBits(nullptr, 0);
                if (!affordable(bits / 8 + 1)) return reader_.skip();
                std::vector<uint8_t> buffer(size_t(bits + 7) / 8 + 1);
                reader_.readBits(buffer.data(), (bits + 7) / 8);
                break;
            }
            case 8: {
                UtcTime time;
                reader_.readUtcTime(time);
                break;
            }
            case 9: {
                MemoryStream sink;
                int n = reader_.copyElement(sink);
                EXPECT_EQ(n, sink.position());
                break;
            }
            default: {
                DerRaw raw;
                if (raw.decodeFrom(reader_)) {
                    MemoryStream out;
                    EXPECT_EQ(raw.encode(&out), raw.length());
                } else {
                    throw error(0);  // the reader is to be abandoned
                }
                break;
            }
        }
    }

    DerReader& reader_;
    std::mt19937& rng_;
    bool sized_;
};

void walkAll(const Bytes& input, std::mt19937& rng) {
    for (bool sized : {true, false}) {
        MemoryStream memory(input.data(), int(input.size()));
        UnsizedSource unsized(input);
        ByteSource& source = sized ? static_cast<ByteSource&>(memory) : unsized;
        DerReader reader(source);
        Walker walker(reader, rng, sized);
        try {
            walker.walk(0);
        } catch (const error&) {
        }
    }
}

template <class Value>
bool decodeAndReencode(const Bytes& input) {
    MemoryStream in(input.data(), int(input.size()));
    DerReader reader(in);
    Value value;
    if (!value.decodeFrom(reader)) return false;
    // What was read need not be writable (an OID whose first arc is above 2
    // decodes but cannot be encoded); it must fail cleanly or be consistent.
    try {
        int size = value.encode(nullptr);
        MemoryStream out;
        EXPECT_EQ(value.encode(&out), size);
        EXPECT_EQ(out.position(), size);
    } catch (const error& e) {
        EXPECT_EQ(e.code, kErrBadOid);
    }
    return true;
}

Bytes mutate(const Bytes& seed, std::mt19937& rng) {
    Bytes bytes = seed;
    int edits = 1 + int(rng() % 6);
    for (int i = 0; i < edits && !bytes.empty(); ++i) {
        size_t at = rng() % bytes.size();
        switch (rng() % 7) {
            case 0:
                bytes[at] = uint8_t(rng());
                break;
            case 1:
                bytes[at] ^= uint8_t(1u << (rng() % 8));
                break;
            case 2: {
                static const uint8_t lengths[] = {0x00, 0x7F, 0x80, 0x81, 0x82, 0x84, 0x85, 0xFF};
                bytes[at] = lengths[rng() % sizeof lengths];
                break;
            }
            case 3:
                bytes.erase(bytes.begin() + long(at));
                break;
            case 4:
                bytes.insert(bytes.begin() + long(at), uint8_t(rng()));
                break;
            case 5:
                bytes.resize(at);
                break;
            default: {
                size_t from = rng() % bytes.size();
                size_t count = std::min<size_t>(rng() % 16, bytes.size() - from);
                Bytes piece(bytes.begin() + long(from), bytes.begin() + long(from + count));
                bytes.insert(bytes.begin() + long(at), piece.begin(), piece.end());
                break;
            }
        }
    }
    return bytes;
}

Bytes randomDer(std::mt19937& rng, int depth) {
    Bytes out;
    int members = 1 + int(rng() % 4);
    for (int i = 0; i < members; ++i) {
        static const uint8_t identifiers[] = {0x02, 0x03, 0x04, 0x05, 0x06, 0x17,
                                              0x30, 0x31, 0xA0, 0xA1, 0x80, 0x1F};
        uint8_t id = identifiers[rng() % sizeof identifiers];
        Bytes content;
        if ((id & 0x20) && depth < 6) {
            content = randomDer(rng, depth + 1);
        } else {
            content.resize(rng() % 12);
            for (auto& b : content) b = uint8_t(rng());
        }
        if (id == 0x1F) {
            out.push_back(0x1F);
            out.push_back(0x81);
            out.push_back(0x01);
            out.push_back(uint8_t(content.size()));
            out.insert(out.end(), content.begin(), content.end());
        } else if ((id & 0x20) && rng() % 3 == 0) {
            out.push_back(id);
            out.push_back(0x80);
            out.insert(out.end(), content.begin(), content.end());
            out.push_back(0);
            out.push_back(0);
        } else {
            Bytes element = testsupport::tlv(id, content);
            out.insert(out.end(), element.begin(), element.end());
        }
    }
    return out;
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> list = {
        unhex("3080 020105 2480 0401AA 0000 0000 020107"),
        unhex("3011 06092A864886F70D010701 A004 0402AABB"),
        unhex("300C 0203010203 030300ABCD 0500"),
        unhex("170D 3939313233313233353930305A 1F8101820005 0102030405"),
    };
    testsupport::TempDir dir;
    testsupport::CertOptions options;
    options.extensions = "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21";
    auto cert = testsupport::makeCertificate(dir, "signer", options);
    testsupport::writeText(dir.file("data"), "font");
    std::string message = dir.file("message.der");
    EXPECT_EQ(testsupport::run("openssl smime -sign -binary -nodetach -outform DER -md sha1 -in " +
                               dir.file("data") + " -signer " + cert.pem + " -inkey " + cert.key +
                               " -out " + message + " 2>/dev/null"),
              0);
    list.push_back(testsupport::readFile(message));
    list.push_back(testsupport::readFile(cert.der));
    // The message's SignerInfo on its own.
    MemoryStream in(list[4].data(), int(list[4].size()));
    DerReader reader(in);
    P7SignedData signedData;
    if (signedData.decodeFrom(reader) && signedData.signerInfos().count() == 1) {
        MemoryStream out;
        signedData.signerInfos()[0]->encode(&out);
        list.push_back(Bytes(out.data(), out.data() + out.position()));
    }
    return list;
}

}  // namespace

TEST(DerFuzz, RandomAndMutatedInputs) {
    std::mt19937 rng(20260);
    auto corpus = seeds();
    ASSERT_EQ(corpus.size(), 7u);
    int decodedSignedData = 0, decodedSigners = 0;
    for (int i = 0; i < 12000; ++i) {
        Bytes input;
        if (i % 4 == 0) {
            input = randomDer(rng, 0);
        } else {
            input = mutate(corpus[size_t(i) % corpus.size()], rng);
        }
        try {
            walkAll(input, rng);
            decodedSignedData += decodeAndReencode<P7SignedData>(input);
            decodeAndReencode<P7ContentInfo>(input);
            decodedSigners += decodeAndReencode<P7ReadSignerInfo>(input);
            decodeAndReencode<P7Certificate>(input);
            decodeAndReencode<DerRaw>(input);
        } catch (const error& e) {
            FAIL() << "error " << e.code << " escaped for " << testsupport::hex(input);
        } catch (int code) {
            FAIL() << "index fault " << code << " for " << testsupport::hex(input);
        }
    }
    // Mutations are mild enough that many inputs still decode and get re-encoded.
    EXPECT_GT(decodedSignedData, 100);
    EXPECT_GT(decodedSigners, 0);
}

TEST(DerFuzz, UnmutatedSeedsStillDecode) {
    auto corpus = seeds();
    MemoryStream in(corpus[4].data(), int(corpus[4].size()));
    DerReader reader(in);
    P7SignedData signedData;
    EXPECT_TRUE(signedData.decodeFrom(reader));
    EXPECT_EQ(signedData.signerInfos().count(), 1);
}
