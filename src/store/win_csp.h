// SPDX-License-Identifier: Apache-2.0
// The system-store signer: it lists the certificates of the current user's
// personal store ("MY") and signs with the key the store holds for one of
// them, the platform's message calls building the SignedData.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/grow_array.h"
#include "fontseal/csp.h"
#include "platform/crypt_api.h"

namespace fontseal {

constexpr uint32_t kWinCspType = 0x57435350;      // "WCSP"
constexpr uint32_t kWinCspCertType = 0x57534346;  // "WSCF"

class WinCsp;

// One certificate of the store as the signer listed it. Owns a duplicate of
// the certificate context, released when the entry is destroyed.
class WinCspCert final : public CspCert {
public:
    WinCspCert() = default;
    ~WinCspCert();
    // Entries move when their list grows; the context goes with them.
    WinCspCert(WinCspCert&& other) noexcept;
    WinCspCert& operator=(WinCspCert&& other) noexcept;
    WinCspCert(const WinCspCert&) = delete;
    WinCspCert& operator=(const WinCspCert&) = delete;

    uint32_t typeCode() const override { return kWinCspCertType; }
    const uint8_t* thumbprint() const override { return thumbprint_; }
    bool hasPrivateKey() const override { return hasPrivateKey_; }
    std::string subjectName() const override { return subjectName_; }
    std::string friendlyName() const override { return friendlyName_; }
    std::string issuerName() const override { return issuerName_; }
    SystemTime validFrom() const override { return validFrom_; }
    SystemTime validTo() const override { return validTo_; }
    Csp* owner() const override;

    PCCERT_CONTEXT certificate() const { return certificate_; }
    // A token's entry: its token's label and serial; both empty otherwise.
    const std::string& tokenLabel() const { return tokenLabel_; }
    const std::string& tokenSerial() const { return tokenSerial_; }
    // The token hides whether it holds the key until the user logs in;
    // hasPrivateKey() is then true, as signing may still succeed.
    bool keyUnknown() const { return keyUnknown_; }
    // The certificates that issued this one (DER), issuer first, root left
    // out, as the store keeps them; they go into every signature it makes.
    const std::vector<std::vector<uint8_t>>& chain() const { return chain_; }

private:
    friend class WinCsp;
    // Fills the entry from its context; false when the context has no
    // thumbprint, and the entry is then dropped.
    bool fill();

    std::string subjectName_;
    std::string friendlyName_;
    std::string issuerName_;
    SystemTime validFrom_ = {};
    SystemTime validTo_ = {};
    bool hasPrivateKey_ = false;
    std::string tokenLabel_;
    std::string tokenSerial_;
    bool keyUnknown_ = false;
    std::vector<std::vector<uint8_t>> chain_;
    uint8_t thumbprint_[20] = {};
    PCCERT_CONTEXT certificate_ = nullptr;
    WinCsp* owner_ = nullptr;
};

class WinCsp : public Csp {
public:
    WinCsp() = default;
    ~WinCsp() override = default;
    WinCsp(const WinCsp&) = delete;
    WinCsp& operator=(const WinCsp&) = delete;

    uint32_t typeCode() const override { return kWinCspType; }
    // The number of entries now listed, or -1 when the store cannot be
    // opened. Entries handed out before are no longer valid.
    int enumCertificates() override;
    // Throws int kIndexFault for an index outside the list.
    CspCert* certificateAt(int index) override { return &entries_.at(index); }
    int sign(CspCert* cert, const uint8_t* content, int content_length, int use_sha1, int statement,
             const char16_t* program_name, const char* more_info_url, uint8_t** out) override;

private:
    int listStore();

    GrowArray<WinCspCert> entries_{16, 0xDF};
};

}  // namespace fontseal
