// SPDX-License-Identifier: Apache-2.0
#include "api/certificate_warning.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <vector>

#include "base/ossl_ptr.h"
#include "x509/key_purpose_list.h"

namespace fontseal {

namespace {

// "YYYY-MM-DD HH:MM:SS UTC".
std::string time_text(const ASN1_TIME* time) {
    struct tm tm {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return "an unreadable date";
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

// The certificate as a person knows it: its common name, else the whole
// subject.
std::string who(X509* cert) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    unsigned char* text = nullptr;
    int length = -1;
    if (index >= 0)
        length = ASN1_STRING_to_UTF8(&text,
                                     X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    std::string name;
    if (length >= 0) {
        name.assign(reinterpret_cast<char*>(text), static_cast<size_t>(length));
        OPENSSL_free(text);
    } else {
        char line[256];
        name = X509_NAME_oneline(subject, line, sizeof line) ? line : "";
    }
    return "'" + name + "'";
}

}  // namespace

std::string certificate_warning(const uint8_t* der, size_t length, time_t now) {
    if (!der || length == 0 || length > 0x7FFFFFFF) return {};
    const unsigned char* p = der;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
    if (!cert) return {};
    std::vector<std::string> faults;
    const ASN1_TIME* notAfter = X509_get0_notAfter(cert.get());
    const ASN1_TIME* notBefore = X509_get0_notBefore(cert.get());
    if (X509_cmp_time(notAfter, &now) < 0)
        faults.push_back("expired on " + time_text(notAfter) +
                         " ('fontseal verify --ca-file' will say \"the signer's chain does not "
                         "hold: certificate has expired\")");
    else if (X509_cmp_time(notBefore, &now) > 0)
        faults.push_back("is not valid before " + time_text(notBefore) +
                         " ('fontseal verify --ca-file' will say \"the signer's chain does not "
                         "hold: certificate is not yet valid\" until then)");
    const CodeSigningUse use = certificate_code_signing(der, length);
    if (use != CodeSigningUse::kAllowed)
        faults.push_back(std::string("is not for code signing: ") + code_signing_fault(use) +
                         " ('fontseal verify --ca-file' will say \"the signer certificate is not "
                         "for code signing\")");
    if (faults.empty()) return {};
    std::string line = "the signing certificate " + who(cert.get()) + " ";
    for (size_t i = 0; i < faults.size(); ++i) line += (i ? "; and it " : "") + faults[i];
    return line + "; the font was signed all the same";
}

}  // namespace fontseal
