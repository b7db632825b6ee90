// SPDX-License-Identifier: Apache-2.0
#include "api/external_signing.h"

#include <algorithm>
#include <vector>

#include "api/cert_file_loader.h"
#include "api/own_key_signing_step.h"
#include "api/results.h"
#include "api/sign_job.h"
#include "base/error.h"
#include "key/external_signing_key.h"

namespace fontseal {

namespace {

// The host's function behind the key interface.
class CallbackSigner final : public ExternalSigner {
public:
    CallbackSigner(fontseal_signer_fn function, void* context, size_t modulusLength)
        : function_(function),
          context_(context),
          capacity_(std::max<size_t>(2 * modulusLength, 1024)) {}

    bool sign(DigestAlgorithm hash, const uint8_t* digest, size_t digestLength,
              const uint8_t* digestInfo, size_t digestInfoLength,
              std::vector<uint8_t>& signature) override {
        std::vector<uint8_t> buffer(capacity_, 0);
        size_t length = buffer.size();
        if (function_(context_, digest_facts(hash).hashValue, digest, digestLength, digestInfo,
                      digestInfoLength, buffer.data(), &length) != 0)
            return false;
        // A length past the buffer is an answer of the wrong length; its
        // bytes are not read.
        if (length > buffer.size()) {
            signature.assign(length, 0);
            return true;
        }
        signature.assign(buffer.begin(), buffer.begin() + static_cast<long>(length));
        return true;
    }

private:
    fontseal_signer_fn function_;
    void* context_;
    size_t capacity_;
};

// Big-endian magnitude of a certificate's little-endian two's-complement
// integer.
std::vector<uint8_t> big_endian(const uint8_t* littleEndian, int length) {
    std::vector<uint8_t> out(littleEndian, littleEndian + std::max(length, 0));
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace

int32_t sign_with_external_signer(const char* input_path, const char* output_path,
                                  const char* cert_path, fontseal_signer_fn signer, void* context,
                                  const SignOptions& options, int32_t* detail,
                                  std::string& message) {
    GrowArray<P7Certificate> certificates;
    try {
        load_certificates(cert_path, certificates, nullptr, true);
    } catch (const error& e) {
        fail(Stage::kCertificateOpen, e.code);
    }
    if (certificates.count() == 0 || !certificates[0].info()) fail(Stage::kCertificateRead);
    const CertificateInfo& info = *certificates[0].info();
    RsaPublicKey publicKey{big_endian(info.modulus(), info.modulusLength()),
                           big_endian(info.exponent(), info.exponentLength())};
    CallbackSigner callback(signer, context, publicKey.modulus.size());
    const ExternalSigningKey key(std::move(publicKey), callback);
    if (key.signatureSize() <= 0) fail(Stage::kCertificateRead);

    OwnKeySigningStep step(certificates, key);
    const int32_t result = sign_job(input_path, output_path, step, options, detail);
    const std::string input(input_path), cert(cert_path);
    switch (key.outcome()) {
        case ExternalSigningKey::Outcome::kSignerFailed:
            message = "the external signer could not sign " + input + "; nothing was written";
            return FONTSEAL_E_SIGNER;
        case ExternalSigningKey::Outcome::kWrongLength:
            message = "the external signer returned " + std::to_string(key.answerLength()) +
                      " bytes for " + input + ", not the " + std::to_string(key.signatureSize()) +
                      " of a signature by the key of the first certificate in " + cert +
                      "; nothing was written";
            return FONTSEAL_E_SIGNER_SIGNATURE;
        case ExternalSigningKey::Outcome::kNotVerified:
            message = "the signature the external signer returned for " + input +
                      " does not verify under the key of the first certificate in " + cert +
                      " (another key's signature, or a damaged one); nothing was written";
            return FONTSEAL_E_SIGNER_SIGNATURE;
        case ExternalSigningKey::Outcome::kNotAsked:
        case ExternalSigningKey::Outcome::kSigned:
            break;
    }
    return result;
}

}  // namespace fontseal
