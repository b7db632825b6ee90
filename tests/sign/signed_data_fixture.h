// SPDX-License-Identifier: Apache-2.0
// What the SignedData tests share: one CA, one publisher key with
// certificates of every code-signing purpose, and a helper that signs some
// data the way the signing job does and keeps the blob as a file.
#pragma once
#include <openssl/evp.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/grow_array.h"
#include "base/memory_stream.h"
#include "der/der_reader.h"
#include "key/evp_signing_key.h"
#include "sign/digest_content.h"
#include "sign/signed_data_builder.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "x509/p7_certificate.h"

namespace signtest {

using testsupport::Asn1Tree;
using testsupport::Bytes;

constexpr const char* kEkuIndividual = "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21";
constexpr const char* kEkuCommercial = "extendedKeyUsage=1.3.6.1.4.1.311.2.1.22";
constexpr const char* kEkuGeneric = "extendedKeyUsage=codeSigning";

using fontseal::EvpPkeyPtr;
using fontseal::EvpSigningKey;

// A signing key over a copy of the reference to `key`.
inline EvpSigningKey signingKeyFor(EVP_PKEY* key) {
    EVP_PKEY_up_ref(key);
    return EvpSigningKey(EvpPkeyPtr(key));
}

// Made once per test binary: generating keys is the slow part.
struct SigningWorld {
    testsupport::TempDir dir;
    testsupport::TestPki pki{dir};
    std::string keyPem = pki.makeKey("publisher");
    // One key, four certificates: code-signing purpose 0 (no extension),
    // 0 (generic code signing), 1 (individual) and 2 (commercial).
    std::string plainPem = pki.makeCert("plain", keyPem, 11, "");
    std::string genericPem = pki.makeCert("generic", keyPem, 12, kEkuGeneric);
    std::string individualPem = pki.makeCert("individual", keyPem, 13, kEkuIndividual);
    std::string commercialPem = pki.makeCert("commercial", keyPem, 14, kEkuCommercial);
    EvpPkeyPtr key{testsupport::readPemKey(keyPem)};
    int blobs = 0;

    static SigningWorld& get() {
        static SigningWorld world;
        return world;
    }
};

// The DER bytes of a PEM certificate, converted by the openssl tool.
inline Bytes certificateDer(const std::string& pem) {
    const std::string der = pem + ".der";
    if (!testsupport::fileExists(der)) {
        testsupport::openssl("x509 -in '" + pem + "' -outform DER -out '" + der + "'");
    }
    return testsupport::readFile(der);
}

// The certificate list as the loader hands it over, in the given order.
inline void loadCertificates(const std::vector<std::string>& pems,
                             fontseal::GrowArray<fontseal::P7Certificate>& list) {
    for (const std::string& pem : pems) {
        Bytes der = certificateDer(pem);
        fontseal::MemoryStream source(der.data(), int(der.size()));
        fontseal::DerReader reader(source);
        if (!list.append().decodeFrom(reader)) throw std::runtime_error("unreadable " + pem);
    }
}

struct SignRequest {
    std::vector<std::string> certificates;
    EVP_PKEY* key = nullptr;  // default: the publisher key
    Bytes data = Bytes(1000, 0x5A);
    int useSha1 = 1;
    int statement = 2;
    const char16_t* programName = nullptr;
    const char* url = nullptr;
};

struct SignedBlob {
    int result = 0;
    Bytes content;     // what build_digest_content returned
    Bytes blob;        // empty unless result > 0
    std::string path;  // the blob as a file
    std::string contentPath;
};

inline SignedBlob sign(const SignRequest& request) {
    SigningWorld& world = SigningWorld::get();
    SignedBlob signedBlob;
    int size = fontseal::build_digest_content(request.data.data(), int(request.data.size()),
                                              request.useSha1, nullptr, 0);
    signedBlob.content.resize(size_t(size));
    fontseal::build_digest_content(request.data.data(), int(request.data.size()), request.useSha1,
                                   signedBlob.content.data(), size);
    fontseal::GrowArray<fontseal::P7Certificate> list;
    loadCertificates(request.certificates, list);
    const EvpSigningKey key = signingKeyFor(request.key ? request.key : world.key.get());
    uint8_t* out = nullptr;
    signedBlob.result = fontseal::build_signed_data(
        list.begin(), list.count(), signedBlob.content.data(), size, request.useSha1,
        request.statement, request.programName, request.url, &out, key);
    const std::string stem = world.dir.file("blob" + std::to_string(++world.blobs));
    signedBlob.path = stem + ".p7";
    signedBlob.contentPath = stem + ".content";
    testsupport::writeFile(signedBlob.contentPath, signedBlob.content);
    if (signedBlob.result > 0 && out) {
        signedBlob.blob.assign(out, out + signedBlob.result);
        testsupport::writeFile(signedBlob.path, signedBlob.blob);
    }
    std::free(out);
    return signedBlob;
}

// Positions in the tree of a blob with one signer.
struct BlobLayout {
    explicit BlobLayout(const Asn1Tree& tree)
        : signedData(tree.child(tree.child(0, 1), 0)),
          digestAlgorithms(tree.child(signedData, 1)),
          contentInfo(tree.child(signedData, 2)),
          content(tree.child(tree.child(contentInfo, 1), 0)),
          signerInfos(tree.children(signedData).back()),
          signerInfo(tree.child(signerInfos, 0)) {}
    size_t signedData, digestAlgorithms, contentInfo, content, signerInfos, signerInfo;
};

// `openssl smime -verify` of a detached check: the content is given
// separately, as the bytes that the messageDigest covers.
inline bool opensslVerifies(const std::string& blob, const std::string& content,
                            const std::string& trust = "-noverify") {
    return testsupport::run("openssl smime -verify -inform DER -binary " + trust + " -content '" +
                            content + "' -in '" + blob + "' -out /dev/null 2>/dev/null") == 0;
}

}  // namespace signtest
