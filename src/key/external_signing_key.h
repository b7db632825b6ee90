// SPDX-License-Identifier: Apache-2.0
// A key that never comes to this machine: something else (a cloud key
// service, an HSM behind an approval queue, a script) makes the RSA
// signature, and only the certificate's public key is held here. Whatever
// comes back is checked against that public key before it is used, so a
// signer that answers with another key's signature, or with a damaged one,
// fails here and not in a verifier's hands.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "der/digest_algorithm.h"
#include "key/evp_signing_key.h"
#include "key/signing_key.h"

namespace fontseal {

// Recognises a DER DigestInfo with a NULL parameter, as the signer-info
// encoder builds it: its hash and the offset of the bare digest, which runs
// to the end. False for anything else.
bool split_digest_info(const uint8_t* digestInfo, size_t length, DigestAlgorithm& hash,
                       size_t& digestOffset);

// Whoever makes the signature: given the hash, the bare digest and the
// DigestInfo around it (a signer takes whichever its service wants),
// returns the raw signature, or false when it could not sign.
class ExternalSigner {
public:
    virtual ~ExternalSigner() = default;
    virtual bool sign(DigestAlgorithm hash, const uint8_t* digest, size_t digestLength,
                      const uint8_t* digestInfo, size_t digestInfoLength,
                      std::vector<uint8_t>& signature) = 0;
};

class ExternalSigningKey final : public SigningKey {
public:
    // What became of the one signature asked for.
    enum class Outcome {
        kNotAsked,
        kSigned,
        kSignerFailed,  // the signer said it could not sign
        kWrongLength,   // an answer of another length than the modulus
        kNotVerified,   // an answer the public key does not verify
    };

    // `publicKey`: the certificate's, big-endian magnitudes. The signer
    // stays the caller's and must outlive the key.
    ExternalSigningKey(RsaPublicKey publicKey, ExternalSigner& signer);

    bool publicKey(RsaPublicKey& out) const override;
    int signatureSize() const override;
    // Asks the signer, then checks the answer: false unless it is a PKCS#1
    // v1.5 signature of `digestInfo` under the public key.
    bool signDigestInfo(const uint8_t* digestInfo, int length,
                        std::vector<uint8_t>& signature) const override;

    Outcome outcome() const { return outcome_; }
    // The length of the signer's answer, for messages.
    size_t answerLength() const { return answerLength_; }

private:
    bool verifies(const uint8_t* digestInfo, size_t length,
                  const std::vector<uint8_t>& signature) const;

    RsaPublicKey public_;
    ExternalSigner& signer_;
    EvpPkeyPtr verifier_;  // the public key as OpenSSL holds it; null when unusable
    // A key signs one font, in one thread: the outcome is that call's.
    mutable Outcome outcome_ = Outcome::kNotAsked;
    mutable size_t answerLength_ = 0;
};

}  // namespace fontseal
