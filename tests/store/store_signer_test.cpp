// SPDX-License-Identifier: Apache-2.0
// The system-store route as a host drives it, through the exported functions
// and the signer's virtual tables, over a store in a scratch XDG_DATA_HOME.
// Blobs are taken apart with `openssl asn1parse` and verified with
// `openssl smime`; names, thumbprints and dates are compared with what the
// openssl tool reads from the same certificates.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fontseal/csp.h"
#include "fontseal/fontseal.h"
#include "fontseal/store.h"
#include "support/cert_support.h"
#include "support/key_support.h"
#include "support/sfnt_support.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace {

using testsupport::Asn1Tree;
using testsupport::Bytes;
using testsupport::TempDir;

const char* kPublisherInfo = "1.3.6.1.4.1.311.2.1.12";
const char* kSignerFlags = "1.3.6.1.4.1.311.40.1";
const char* kStatementType = "1.3.6.1.4.1.311.2.1.11";
const char* kIndirectData = "1.3.6.1.4.1.311.2.1.4";
const char* kIndividual = "300C060A2B060104018237020115";
const char* kCommercial = "300C060A2B060104018237020116";

// Upper-case hex without separators, as thumbprints are written.
std::string plainHex(const Bytes& bytes) {
    std::string out;
    for (char c : testsupport::hex(bytes))
        if (c != ' ') out.push_back(c);
    return out;
}

std::string tool(const std::string& command) {
    std::string out;
    EXPECT_EQ(testsupport::run(command + " 2>/dev/null", &out), 0) << command;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// Content bytes of exactly `length` (0 or at least 2) that openssl can walk:
// one OCTET STRING.
Bytes octetsOfLength(int length) {
    if (length == 0) return {};
    int header = length - 2 <= 127 ? 2 : length - 3 <= 255 ? 3 : 4;
    int body = length - header;
    Bytes out = {0x04};
    if (header == 3) out.push_back(0x81);
    if (header == 4) out.push_back(0x82), out.push_back(static_cast<uint8_t>(body >> 8));
    out.push_back(static_cast<uint8_t>(body & 0xFF));
    for (int i = 0; i < body; ++i) out.push_back(static_cast<uint8_t>(i * 7));
    return out;
}

// What openssl says of a certificate.
std::string sha1Fingerprint(const std::string& pem) {
    std::string line = tool("openssl x509 -in '" + pem + "' -noout -fingerprint -sha1");
    std::string hex;
    for (char c : line.substr(line.find('=') + 1))
        if (c != ':') hex.push_back(c);
    return hex;
}

// "2026-12-08T08:26:28Z" from openssl's "notBefore=2026-12-08 08:26:28Z".
std::string isoDate(const std::string& pem, const char* which) {
    std::string line =
        tool("openssl x509 -in '" + pem + "' -noout -dateopt iso_8601 -" + which + "date");
    std::string date = line.substr(line.find('=') + 1);
    date[10] = 'T';
    return date;
}

// The parts of a SignedData blob the tests look at, read by openssl.
struct BlobFacts {
    Bytes inner;                              // the content element, header included
    std::map<std::string, Bytes> attributes;  // OID text -> first value element
    Bytes messageDigest;                      // its octets
    size_t attributeCount = 0;
};

BlobFacts blobFacts(const TempDir& dir, const Bytes& blob) {
    const std::string path = dir.file("blob.der");
    testsupport::writeFile(path, blob);
    Asn1Tree tree(path);
    BlobFacts facts;
    size_t signedData = tree.child(tree.child(0, 1), 0);
    size_t contentInfo = tree.child(signedData, 2);
    EXPECT_EQ(tree[tree.child(contentInfo, 0)].value, kIndirectData);
    facts.inner = tree.element(tree.child(tree.child(contentInfo, 1), 0));
    std::vector<size_t> parts = tree.children(signedData);
    size_t signerInfo = tree.child(parts.back(), 0);
    size_t attributes = tree.child(signerInfo, 3);
    EXPECT_EQ(tree[attributes].type, "cont [ 0 ]");
    for (size_t attribute : tree.children(attributes)) {
        ++facts.attributeCount;
        std::string oid = tree[tree.child(attribute, 0)].value;
        size_t value = tree.child(tree.child(attribute, 1), 0);
        facts.attributes[oid] = tree.element(value);
        if (oid == "messageDigest") facts.messageDigest = tree.content(value);
    }
    return facts;
}

// openssl's verdict on the blob over the content's contents.
bool opensslVerifies(const TempDir& dir, const Bytes& blob, const Bytes& inner) {
    const std::string b = dir.file("verify.der"), c = dir.file("inner.bin");
    testsupport::writeFile(b, blob);
    size_t header = inner[1] < 0x80 ? 2 : 2 + (inner[1] & 0x7F);
    testsupport::writeFile(c, Bytes(inner.begin() + static_cast<long>(header), inner.end()));
    return testsupport::run("openssl smime -verify -inform DER -binary -noverify -content '" + c +
                            "' -in '" + b + "' -out /dev/null 2>/dev/null") == 0;
}

Bytes dsigBlob(const std::string& fontPath) {
    Bytes font = testsupport::readFile(fontPath);
    testsupport::SfntDirectory directory = testsupport::parseSfntDirectory(font);
    const testsupport::SfntEntry* entry = testsupport::findEntry(directory, "DSIG");
    if (!entry) return {};
    Bytes table = testsupport::tableBytes(font, *entry);
    size_t offset = testsupport::be32(table, 16);
    size_t length = testsupport::be32(table, offset + 4);
    return Bytes(table.begin() + static_cast<long>(offset + 8),
                 table.begin() + static_cast<long>(offset + 8 + length));
}

class StoreSignerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_DATA_HOME");
        hadXdg_ = old != nullptr;
        if (old) oldXdg_ = old;
        setenv("XDG_DATA_HOME", dir.file("xdg").c_str(), 1);
        store_ = dir.file("xdg/fontseal/certstore/MY");
    }
    void TearDown() override {
        if (hadXdg_)
            setenv("XDG_DATA_HOME", oldXdg_.c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
    }

    // Imports and returns the report (thumbprint, result).
    fontseal_store_report import(const std::string& cert, const std::string& key,
                                 const char* password = nullptr, const char* name = nullptr) {
        fontseal_store_import_request request = {};
        request.size = sizeof request;
        request.cert_path = cert.c_str();
        request.key_path = key.empty() ? nullptr : key.c_str();
        request.password = password;
        request.password_length = password ? std::strlen(password) : 0;
        request.friendly_name = name;
        fontseal_store_report report = {};
        report.size = sizeof report;
        EXPECT_EQ(fontseal_store_import(&request, &report), report.result);
        return report;
    }

    // The entry named by `thumbprint` in a freshly listed signer.
    fontseal::CspCert* entry(fontseal::Csp* csp, const std::string& thumbprint,
                             int32_t* result = nullptr, bool needKey = false) {
        fontseal_store_report report = {};
        report.size = sizeof report;
        fontseal::CspCert* found = nullptr;
        int32_t r = fontseal_store_find(csp, thumbprint.c_str(), needKey, &found, &report);
        if (result) *result = r;
        return found;
    }

    TempDir dir;
    std::string store_;

private:
    bool hadXdg_ = false;
    std::string oldXdg_;
};

struct ListedEntry {
    std::string thumbprint, subject, issuer, friendly, from, to;
    int hasKey = -1;
};

int32_t collect(const fontseal_store_entry* e, void* context) {
    static_cast<std::vector<ListedEntry>*>(context)->push_back(
        {e->thumbprint, e->subject, e->issuer, e->friendly_name, e->valid_from, e->valid_to,
         e->has_private_key});
    return 0;
}

// An imported certificate and PVK key sign a real font through
// win_sign_font; openssl verifies the blob, which carries the three
// attributes plus contentType and messageDigest, and its messageDigest is
// the one the file-key route signs for the same font and digest.
TEST_F(StoreSignerTest, ImportedEntrySignsWhatTheFileKeyRouteSigns) {
    testsupport::TestPki pki(dir);
    testsupport::PvkKeySet keys = testsupport::makePvkKeys(dir, "signer", 2048, "pw");
    const std::string cert = pki.makeCert("Store Signer", keys.pem, 7, "");
    fontseal_store_report imported = import(cert, keys.strong, "pw", "Signing key");
    ASSERT_EQ(imported.result, FONTSEAL_OK) << imported.message;
    const std::string thumbprint = imported.thumbprint;
    EXPECT_EQ(thumbprint, sha1Fingerprint(cert));

    // Stored as the owner's own unencrypted PKCS#8, in a private directory.
    struct stat st;
    ASSERT_EQ(stat((store_ + "/" + thumbprint + ".key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(store_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(tool("openssl pkey -in '" + store_ + "/" + thumbprint +
                   ".key' -passin pass: " + "-pubout | openssl md5"),
              tool("openssl pkey -in '" + keys.pem + "' -pubout | openssl md5"));

    std::vector<ListedEntry> listed;
    fontseal_store_report report = {};
    report.size = sizeof report;
    ASSERT_EQ(fontseal_store_list(collect, &listed, &report), 1) << report.message;
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].thumbprint, thumbprint);
    EXPECT_EQ(listed[0].subject, "Store Signer");
    EXPECT_EQ(listed[0].issuer, "fontseal test CA");
    EXPECT_EQ(listed[0].friendly, "Signing key");
    EXPECT_EQ(listed[0].from, isoDate(cert, "start"));
    EXPECT_EQ(listed[0].to, isoDate(cert, "end"));
    EXPECT_EQ(listed[0].hasKey, 1);

    const std::string font = testsupport::dejavuSansPath();
    for (int sha1 : {1, 0}) {
        SCOPED_TRACE(sha1 ? "sha1" : "md5");
        fontseal::Csp* csp = nullptr;
        ASSERT_EQ(create_win_csp(&csp), csp);
        ASSERT_NE(csp, nullptr);
        int32_t found = 0;
        fontseal::CspCert* signer = entry(csp, thumbprint.substr(0, 8), &found, true);
        ASSERT_EQ(found, FONTSEAL_OK);
        const std::string viaStore = dir.file("store.ttf"), viaFiles = dir.file("files.ttf");
        EXPECT_EQ(win_sign_font(font.c_str(), viaStore.c_str(), signer, sha1, 0, u"Program",
                                "http://example.test/", nullptr),
                  FONTSEAL_OK);
        release_win_csp(csp);
        ASSERT_EQ(sign_font(font.c_str(), viaFiles.c_str(), cert.c_str(), keys.strong.c_str(), "pw",
                            sha1, 0, u"Program", "http://example.test/", nullptr),
                  FONTSEAL_OK);

        Bytes storeBlob = dsigBlob(viaStore), fileBlob = dsigBlob(viaFiles);
        BlobFacts store = blobFacts(dir, storeBlob), files = blobFacts(dir, fileBlob);
        EXPECT_TRUE(opensslVerifies(dir, storeBlob, store.inner));
        Bytes tampered = store.inner;
        tampered.back() ^= 1;
        EXPECT_FALSE(opensslVerifies(dir, storeBlob, tampered));

        EXPECT_EQ(store.attributeCount, 5u);
        for (const char* oid : {kPublisherInfo, kSignerFlags, kStatementType, "contentType"})
            EXPECT_EQ(store.attributes.count(oid), 1u) << oid;
        EXPECT_EQ(plainHex(store.attributes[kSignerFlags]), "03050003000000");
        EXPECT_EQ(plainHex(store.attributes[kStatementType]), kCommercial);
        EXPECT_EQ(store.attributes[kPublisherInfo], files.attributes[kPublisherInfo]);
        EXPECT_EQ(store.inner, files.inner);
        ASSERT_EQ(store.messageDigest.size(), sha1 ? 20u : 16u);
        EXPECT_EQ(store.messageDigest, files.messageDigest);
    }
}

// Each argument of sign, called through the signer's virtual table on raw
// content: the statement from the selector or the certificate's purpose,
// the publisher information, and the header of the wrapped content.
TEST_F(StoreSignerTest, SignArgumentsShapeTheBlob) {
    testsupport::TestPki pki(dir);
    struct Cert {
        const char* name;
        const char* extensions;
    };
    const Cert certs[] = {
        {"individual", "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21"},
        {"commercial", "extendedKeyUsage=1.3.6.1.4.1.311.2.1.22"},
        {"both", "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21,1.3.6.1.4.1.311.2.1.22"},
        {"none", ""},
    };
    std::map<std::string, std::string> thumbprints;
    for (const Cert& c : certs) {
        std::string key = pki.makeKey(c.name);
        fontseal_store_report r = import(pki.makeCert(c.name, key, 1, c.extensions), key);
        ASSERT_EQ(r.result, FONTSEAL_OK) << r.message;
        thumbprints[c.name] = r.thumbprint;
    }

    struct Case {
        const char* cert;
        int statement;
        const char16_t* program;
        const char* url;
        int contentLength;
        const char* statementValue;
        const char* publisherInfo;
        const char* contentHeader;
    };
    const Case cases[] = {
        {"individual", 0, nullptr, nullptr, 127, kIndividual, "3000", "307F"},
        {"commercial", 0, u"", nullptr, 128, kCommercial, "3004A0028000", "308180"},
        {"both", 0, nullptr, "", 256, kCommercial, "3004A1028000", "30820100"},
        {"none", 0, u"Ab", "u", 0, kCommercial, "300DA006800400410062A103800175", "3000"},
        {"commercial", 1, nullptr, "http://x", 2, kIndividual, "300CA10A8008687474703A2F2F78",
         "3002"},
        {"individual", 2, nullptr, nullptr, 20, kCommercial, "3000", "3014"},
        {"commercial", 3, nullptr, nullptr, 20, kIndividual, "3000", "3014"},
    };
    fontseal::Csp* csp = create_win_csp(nullptr);
    ASSERT_NE(csp, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " statement " + std::to_string(c.statement) +
                     " length " + std::to_string(c.contentLength));
        fontseal::CspCert* cert = entry(csp, thumbprints[c.cert]);
        ASSERT_NE(cert, nullptr);
        ASSERT_EQ(cert->owner(), csp);
        Bytes content = octetsOfLength(c.contentLength);
        uint8_t* out = nullptr;
        int length = csp->sign(cert, content.data(), c.contentLength, 1, c.statement, c.program,
                               c.url, &out);
        ASSERT_GT(length, 0);
        Bytes blob(out, out + length);
        std::free(out);
        BlobFacts facts = blobFacts(dir, blob);
        EXPECT_EQ(plainHex(facts.attributes[kStatementType]), c.statementValue);
        EXPECT_EQ(plainHex(facts.attributes[kPublisherInfo]), c.publisherInfo);
        Bytes header(facts.inner.begin(), facts.inner.end() - c.contentLength);
        EXPECT_EQ(plainHex(header), c.contentHeader);
        EXPECT_TRUE(opensslVerifies(dir, blob, facts.inner));
    }
    release_win_csp(csp);
}

// Listing, finding and signing failures, each with its own result, and the
// list replaced by every enumeration.
TEST_F(StoreSignerTest, ListingFindingAndSigningFailures) {
    testsupport::TestPki pki(dir);
    fontseal::Csp* csp = nullptr;
    create_win_csp(&csp);
    ASSERT_NE(csp, nullptr);
    EXPECT_EQ(csp->typeCode(), 0x57435350u);
    EXPECT_EQ(csp->enumCertificates(), 0);
    try {
        csp->certificateAt(0);
        ADD_FAILURE() << "no index fault";
    } catch (int fault) {
        EXPECT_EQ(fault, -2);
    }

    const std::string signerKey = pki.makeKey("signer"), otherKey = pki.makeKey("other");
    const std::string signerCert = pki.makeCert("signer", signerKey, 1, "");
    const std::string keyless = import(pki.makeCert("keyless", otherKey, 2, ""), "").thumbprint;
    const std::string signer = import(signerCert, signerKey).thumbprint;
    ASSERT_EQ(csp->enumCertificates(), 2);
    fontseal::CspCert* first = csp->certificateAt(0);
    EXPECT_EQ(first->typeCode(), 0x57534346u);
    EXPECT_THROW(csp->certificateAt(2), int);
    EXPECT_THROW(csp->certificateAt(-1), int);

    const std::string font = testsupport::dejavuSansPath(), out = dir.file("out.ttf");
    auto signWith = [&](fontseal::CspCert* cert) {
        return win_sign_font(font.c_str(), out.c_str(), cert, 1, 0, nullptr, nullptr, nullptr);
    };
    int32_t found = 0;
    fontseal::CspCert* bare = entry(csp, keyless, &found);
    ASSERT_NE(bare, nullptr);
    EXPECT_FALSE(bare->hasPrivateKey());
    EXPECT_EQ(signWith(bare), FONTSEAL_E_SIGN);
    entry(csp, keyless, &found, true);
    EXPECT_EQ(found, FONTSEAL_E_STORE_NO_KEY);

    const std::string keyFile = store_ + "/" + signer + ".key";
    const Bytes goodKey = testsupport::readFile(keyFile);
    struct Fault {
        const char* what;
        Bytes key;
        mode_t mode;
        int32_t expected;
    };
    const Fault faults[] = {
        {"good", goodKey, 0600, FONTSEAL_OK},
        {"others may read", goodKey, 0644, FONTSEAL_E_STORE_KEY_EXPOSED},
        {"group may read", goodKey, 0640, FONTSEAL_E_STORE_KEY_EXPOSED},
        {"another key", testsupport::readFile(otherKey), 0600, FONTSEAL_E_STORE_KEY_MISMATCH},
        {"not a key", Bytes{'x'}, 0600, FONTSEAL_E_STORE_KEY_UNUSABLE},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.what);
        testsupport::writeFile(keyFile, f.key);
        chmod(keyFile.c_str(), f.mode);
        fontseal::CspCert* cert = entry(csp, signer);
        ASSERT_NE(cert, nullptr);
        EXPECT_TRUE(cert->hasPrivateKey());
        entry(csp, signer, &found, true);
        EXPECT_EQ(found, f.expected);
        cert = entry(csp, signer);
        EXPECT_EQ(signWith(cert), f.expected == FONTSEAL_OK ? FONTSEAL_OK : FONTSEAL_E_SIGN);
        fontseal_store_sign_request request = {};
        request.size = sizeof request;
        request.input_path = font.c_str();
        request.output_path = out.c_str();
        request.thumbprint = signer.c_str();
        request.use_sha1 = 1;
        fontseal_store_report report = {};
        report.size = sizeof report;
        EXPECT_EQ(fontseal_store_sign(&request, &report), f.expected) << report.message;
        EXPECT_EQ(report.thumbprint, signer);
    }

    // An entry of another signer is not signed with.
    class OtherCert : public fontseal::CspCert {
    public:
        const uint8_t* thumbprint() const override { return bytes; }
        bool hasPrivateKey() const override { return true; }
        std::string subjectName() const override { return {}; }
        std::string friendlyName() const override { return {}; }
        std::string issuerName() const override { return {}; }
        fontseal::SystemTime validFrom() const override { return {}; }
        fontseal::SystemTime validTo() const override { return {}; }
        fontseal::Csp* owner() const override { return nullptr; }
        uint8_t bytes[20] = {};
    } other;
    uint8_t* blob = reinterpret_cast<uint8_t*>(1);
    const uint8_t content[2] = {1, 2};
    EXPECT_EQ(csp->sign(&other, content, 2, 1, 0, nullptr, nullptr, &blob), -1);
    EXPECT_EQ(blob, nullptr);

    // Thumbprints: too short, not hex, unknown; then removal.
    for (const char* bad : {"1234567", "ZZZZZZZZ", ""}) {
        entry(csp, bad, &found);
        EXPECT_EQ(found, FONTSEAL_E_STORE_THUMBPRINT) << bad;
    }
    std::string unknown = signer;
    unknown[0] = unknown[0] == '0' ? '1' : '0';
    entry(csp, unknown, &found);
    EXPECT_EQ(found, FONTSEAL_E_STORE_NO_ENTRY);
    fontseal_store_report report = {};
    report.size = sizeof report;
    EXPECT_EQ(fontseal_store_remove(unknown.c_str(), &report), FONTSEAL_E_STORE_NO_ENTRY);
    std::string lower = keyless;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(fontseal_store_remove(lower.c_str(), &report), FONTSEAL_OK) << report.message;
    EXPECT_EQ(report.thumbprint, keyless);
    EXPECT_EQ(csp->enumCertificates(), 1);
    EXPECT_EQ(plainHex(Bytes(csp->certificateAt(0)->thumbprint(),
                             csp->certificateAt(0)->thumbprint() + 20)),
              signer);

    // A store that cannot be read.
    ASSERT_EQ(fontseal_store_remove(signer.c_str(), &report), FONTSEAL_OK);
    testsupport::run("rm -rf '" + store_ + "'");
    testsupport::writeText(store_, "not a directory");
    EXPECT_EQ(csp->enumCertificates(), -1);
    EXPECT_EQ(fontseal_store_list(nullptr, nullptr, &report), FONTSEAL_E_STORE_OPEN);
    release_win_csp(csp);
    release_win_csp(nullptr);
}

// Display names as the store's name rules give them, for subject and issuer
// (the certificates are self-signed) and as the friendly name without one.
TEST_F(StoreSignerTest, DisplayNamesFollowTheNameRules) {
    struct Case {
        const char* subject;
        const char* name;
    };
    const Case cases[] = {
        {"/CN=Common/OU=Unit/O=Org", "Common"},
        {"/O=Org/OU=Unit/emailAddress=a@b.test", "Unit"},
        {"/C=DE/O=Org/emailAddress=a@b.test", "Org"},
        {"/emailAddress=a@b.test", "a@b.test"},
        {"/C=DE", ""},
    };
    std::map<std::string, std::string> expected;
    int n = 0;
    for (const Case& c : cases) {
        testsupport::CertOptions options;
        options.subject = c.subject;
        options.serial = std::to_string(++n);
        testsupport::TestCert cert =
            testsupport::makeCertificate(dir, "n" + options.serial, options);
        fontseal_store_report r = import(cert.pem, "");
        ASSERT_EQ(r.result, FONTSEAL_OK) << r.message;
        expected[r.thumbprint] = c.name;
    }
    std::vector<ListedEntry> listed;
    ASSERT_EQ(fontseal_store_list(collect, &listed, nullptr), 5);
    for (const ListedEntry& e : listed) {
        SCOPED_TRACE(expected[e.thumbprint]);
        EXPECT_EQ(e.subject, expected[e.thumbprint]);
        EXPECT_EQ(e.issuer, expected[e.thumbprint]);
        EXPECT_EQ(e.friendly, expected[e.thumbprint]);
        EXPECT_EQ(e.hasKey, 0);
    }
}

// Prefix matching on a host's own signer, where thumbprints can be chosen:
// a prefix two entries share is refused, a longer one finds its entry.
TEST_F(StoreSignerTest, PrefixesMustBeUnique) {
    class HostCert : public fontseal::CspCert {
    public:
        HostCert(fontseal::Csp* owner, const char* hex) : owner_(owner) {
            Bytes bytes = testsupport::unhex(hex);
            std::memcpy(thumb_, bytes.data(), sizeof thumb_);
        }
        const uint8_t* thumbprint() const override { return thumb_; }
        bool hasPrivateKey() const override { return true; }
        std::string subjectName() const override { return "host"; }
        std::string friendlyName() const override { return {}; }
        std::string issuerName() const override { return {}; }
        fontseal::SystemTime validFrom() const override { return {}; }
        fontseal::SystemTime validTo() const override { return {}; }
        fontseal::Csp* owner() const override { return owner_; }

    private:
        fontseal::Csp* owner_;
        uint8_t thumb_[20];
    };
    class HostCsp : public fontseal::Csp {
    public:
        int enumCertificates() override { return 2; }
        fontseal::CspCert* certificateAt(int index) override { return index ? &b : &a; }
        int sign(fontseal::CspCert*, const uint8_t*, int, int, int, const char16_t*, const char*,
                 uint8_t**) override {
            return -1;
        }
        HostCert a{this, "1122334455667788990011223344556677889900"};
        HostCert b{this, "11223344AABBCCDDEEFF11223344556677889900"};
    } host;
    struct Case {
        const char* prefix;
        int32_t expected;
        fontseal::CspCert* found;
    };
    const Case cases[] = {
        {"11223344", FONTSEAL_E_STORE_AMBIGUOUS, nullptr},
        {"1122334455", FONTSEAL_OK, &host.a},
        {"11223344aa", FONTSEAL_OK, &host.b},
        {"1122334455667788990011223344556677889900", FONTSEAL_OK, &host.a},
        {"11223344556677889900112233445566778899001", FONTSEAL_E_STORE_THUMBPRINT, nullptr},
    };
    for (const Case& c : cases) {
        int32_t result = 0;
        EXPECT_EQ(entry(&host, c.prefix, &result), c.found) << c.prefix;
        EXPECT_EQ(result, c.expected) << c.prefix;
    }
    // A host's entry has no key the store could check.
    int32_t result = 0;
    entry(&host, "1122334455", &result, true);
    EXPECT_EQ(result, FONTSEAL_E_STORE_NO_KEY);
}

// Import failures name the file at fault.
TEST_F(StoreSignerTest, ImportFailures) {
    testsupport::TestPki pki(dir);
    testsupport::PvkKeySet keys = testsupport::makePvkKeys(dir, "k", 1024, "pw");
    const std::string cert = pki.makeCert("kc", keys.pem, 3, "");
    const std::string otherCert = pki.makeCert("o", pki.makeKey("o"), 4, "");
    const std::string text = dir.file("text.pem");
    testsupport::writeText(text, "no certificate\n");
    const std::string encrypted = dir.file("enc.pem");
    testsupport::openssl("pkcs8 -topk8 -in '" + keys.pem + "' -passout pass:secret -out '" +
                         encrypted + "'");
    struct Case {
        std::string cert, key;
        const char* password;
        int32_t expected;
    };
    const Case cases[] = {
        {dir.file("missing.pem"), "", nullptr, FONTSEAL_E_CERT_OPEN},
        {text, "", nullptr, FONTSEAL_E_NO_CERTIFICATE},
        {cert, dir.file("missing.key"), nullptr, FONTSEAL_E_KEY_OPEN},
        {cert, keys.strong, "wrong", FONTSEAL_E_KEY_PASSWORD},
        {cert, encrypted, "wrong", FONTSEAL_E_KEY_PASSWORD},
        {cert, text, nullptr, FONTSEAL_E_KEY_FORMAT},
        {otherCert, keys.pem, nullptr, FONTSEAL_E_NO_MATCHING_CERT},
        {cert, encrypted, "secret", FONTSEAL_OK},
        {cert, keys.none, nullptr, FONTSEAL_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert + " " + c.key);
        fontseal_store_report r = import(c.cert, c.key, c.password);
        EXPECT_EQ(r.result, c.expected) << r.message;
        EXPECT_EQ(r.message[0] == '\0', c.expected == FONTSEAL_OK) << r.message;
    }
    EXPECT_EQ(fontseal_store_list(nullptr, nullptr, nullptr), 1);
}

}  // namespace
