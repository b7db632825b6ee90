// SPDX-License-Identifier: Apache-2.0
// Token entries of the store as a host drives them, under AddressSanitizer
// and LeakSanitizer: a SoftHSM2 token of the test's own holds a key that
// cannot be extracted; create_win_csp lists its certificates and
// win_sign_font signs on the token with the PIN the host names in
// FONTSEAL_PIN_SOURCE. The same certificate and key imported into a file
// store of their own sign the same font, and PKCS#1 v1.5 being
// deterministic, both fonts must be byte for byte the same.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fontseal/csp.h"
#include "fontseal/fontseal.h"
#include "fontseal/store.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace {

const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

struct Listed {
    std::string thumbprint, label, locator;
    int hasKey;
};

int32_t collect(const fontseal_store_entry* e, void* context) {
    static_cast<std::vector<Listed>*>(context)->push_back(
        {e->thumbprint, e->token_label, e->key_locator, e->has_private_key});
    return 0;
}

std::string sh(const std::string& command) {
    std::string out;
    EXPECT_EQ(testsupport::run(command + " 2>&1", &out), 0) << command << "\n" << out;
    return out;
}

// The thumbprint openssl computes: 40 upper-case hex digits.
std::string thumbprintOf(const std::string& pem) {
    std::string line = sh("openssl x509 -in '" + pem + "' -noout -fingerprint -sha1");
    std::string hex;
    for (char c : line.substr(line.find('=') + 1))
        if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
    return hex;
}

int32_t importEntry(const std::string& cert, const std::string& key, std::string* thumbprint) {
    fontseal_store_import_request request = {};
    request.size = sizeof request;
    request.cert_path = cert.c_str();
    request.key_path = key.c_str();
    fontseal_store_report report = {};
    report.size = sizeof report;
    int32_t result = fontseal_store_import(&request, &report);
    *thumbprint = report.thumbprint;
    return result;
}

// Lists the store afresh and signs `font` with the entry `thumbprint`.
int32_t signWith(const std::string& thumbprint, const std::string& font, const std::string& out) {
    fontseal::Csp* csp = nullptr;
    if (!create_win_csp(&csp)) return -1000;
    fontseal_csp_cert* entry = nullptr;
    int32_t result = fontseal_store_find(csp, thumbprint.c_str(), 0, &entry, nullptr);
    if (result == FONTSEAL_OK)
        result = win_sign_font(font.c_str(), out.c_str(), entry, 1, 0, u"token", nullptr, nullptr);
    release_win_csp(csp);
    return result;
}

int32_t verified(const std::string& font) {
    fontseal_verify_request request = {};
    request.size = sizeof request;
    request.font_path = font.c_str();
    return fontseal_verify(&request, nullptr);
}

// Signs through fontseal_sign with the entry and the request's own PIN.
int32_t signWithPin(const std::string& thumbprint, const char* pin, const std::string& font,
                    const std::string& out) {
    fontseal_sign_request request = {};
    request.size = sizeof request;
    request.input_path = font.c_str();
    request.output_path = out.c_str();
    request.digest = FONTSEAL_HASH_SHA1;
    request.store_thumbprint = thumbprint.c_str();
    request.pin = pin;
    request.pin_length = std::strlen(pin);
    return fontseal_sign(&request, nullptr);
}

TEST(TokenStoreAsan, TokenEntriesSignOnTheTokenAndFailCleanly) {
    if (!testsupport::fileExists(kSoftHsm)) GTEST_SKIP() << "softhsm2 is needed (make deps)";
    testsupport::TempDir dir;
    testsupport::TestPki pki(dir);
    const std::string key = pki.makeKey("token", 2048);
    const std::string cert = pki.makeCert("Token Signer", key, 1, "extendedKeyUsage=codeSigning");
    const std::string always =
        pki.makeCert("Asks Every Time", key, 2, "extendedKeyUsage=codeSigning");
    const std::string keyless =
        pki.makeCert("No Key Here", pki.makeKey("other"), 3, "extendedKeyUsage=codeSigning");

    // The token: the key twice (plain, and asking for the PIN before every
    // signature), each with its certificate, and a certificate without key.
    sh("mkdir -p '" + dir.file("tokens") + "'");
    testsupport::writeText(dir.file("softhsm2.conf"), "directories.tokendir = " +
                                                          dir.file("tokens") +
                                                          "\nobjectstore.backend = file\n");
    setenv("SOFTHSM2_CONF", dir.file("softhsm2.conf").c_str(), 1);
    setenv("FONTSEAL_PKCS11_MODULE", kSoftHsm, 1);
    sh("softhsm2-util --init-token --free --label asan --pin 1234 --so-pin 5678");
    testsupport::openssl("pkcs8 -topk8 -nocrypt -in '" + key + "' -outform DER -out '" +
                         dir.file("key.der") + "'");
    const std::string tool =
        std::string("pkcs11-tool --module ") + kSoftHsm + " --login --pin 1234 ";
    struct Object {
        const char* id;
        const std::string* cert;
        const char* keyOptions;  // null: no key
    };
    for (const Object& o : {Object{"01", &cert, ""}, Object{"02", &always, "--always-auth"},
                            Object{"03", &keyless, nullptr}}) {
        testsupport::openssl("x509 -in '" + *o.cert + "' -outform DER -out '" +
                             dir.file("cert.der") + "'");
        if (o.keyOptions)
            sh(tool + "--write-object '" + dir.file("key.der") + "' --type privkey --usage-sign " +
               "--id " + o.id + " " + o.keyOptions);
        sh(tool + "--write-object '" + dir.file("cert.der") + "' --type cert --id " + o.id);
    }

    // The same certificate and key in software, in a file store of their own.
    const std::string font = testsupport::dejavuSansPath();
    setenv("XDG_DATA_HOME", dir.file("software").c_str(), 1);
    std::string softwareThumbprint;
    ASSERT_EQ(importEntry(cert, key, &softwareThumbprint), FONTSEAL_OK);
    ASSERT_EQ(signWith(softwareThumbprint, font, dir.file("software.ttf")), FONTSEAL_OK);

    // The token alone: its three certificates, keys unknown until login.
    setenv("XDG_DATA_HOME", dir.file("empty").c_str(), 1);
    std::vector<Listed> listed;
    ASSERT_EQ(fontseal_store_list(collect, &listed, nullptr), 3);
    for (const Listed& entry : listed) {
        EXPECT_EQ(entry.label, "asan");
        EXPECT_EQ(entry.hasKey, -1);
        EXPECT_EQ(entry.locator.rfind("pkcs11:", 0), 0u) << entry.locator;
    }
    EXPECT_EQ(softwareThumbprint, thumbprintOf(cert));
    const std::string signer = softwareThumbprint, asking = thumbprintOf(always),
                      bare = thumbprintOf(keyless);
    for (const std::string* t : {&signer, &asking, &bare}) {
        bool found = false;
        for (const Listed& entry : listed) found = found || entry.thumbprint == *t;
        EXPECT_TRUE(found) << *t;
    }

    testsupport::writeText(dir.file("pin"), "1234\n");
    testsupport::writeText(dir.file("wrong"), "9999\n");
    const std::string good = "file:" + dir.file("pin"), wrong = "file:" + dir.file("wrong");
    const std::string unreadable = "file:" + dir.file("no-such-pin");
    struct Case {
        const char* name;
        const std::string* thumbprint;
        const std::string* pinSource;
        bool keepLogin;  // false: every login of the process ends first
        int32_t expected;
        const char* requestPin = nullptr;  // not null: fontseal_sign with this PIN
    };
    const Case cases[] = {
        {"right PIN", &signer, &good, false, FONTSEAL_OK},
        // The login of the case before serves this one; the PIN is not asked.
        {"login held", &signer, &wrong, true, FONTSEAL_OK},
        // A PIN the call gives must be the one that logged in.
        {"login held, other PIN in the request", &signer, &good, true, FONTSEAL_E_TOKEN_PIN,
         "9999"},
        {"login held, same PIN in the request", &signer, &wrong, true, FONTSEAL_OK, "1234"},
        {"request PIN", &signer, &wrong, false, FONTSEAL_OK, "1234"},
        {"wrong PIN", &signer, &wrong, false, FONTSEAL_E_SIGN},
        {"unreadable PIN source", &signer, &unreadable, false, FONTSEAL_E_SIGN},
        {"PIN before every signature", &asking, &good, false, FONTSEAL_OK},
        {"no key on the token", &bare, &good, false, FONTSEAL_E_SIGN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.keepLogin) fontseal_release_tokens();
        setenv("FONTSEAL_PIN_SOURCE", c.pinSource->c_str(), 1);
        const std::string out = dir.file("token.ttf");
        std::remove(out.c_str());
        ASSERT_EQ(c.requestPin ? signWithPin(*c.thumbprint, c.requestPin, font, out)
                               : signWith(*c.thumbprint, font, out),
                  c.expected);
        if (c.expected != FONTSEAL_OK) {
            EXPECT_FALSE(testsupport::fileExists(out));
            continue;
        }
        if (c.thumbprint == &signer && !c.requestPin)
            EXPECT_EQ(testsupport::readFile(out), testsupport::readFile(dir.file("software.ttf")));
        else
            EXPECT_EQ(verified(out), FONTSEAL_OK);
    }

    // A module that is named and cannot be loaded is the listing's failure.
    fontseal_release_tokens();
    setenv("FONTSEAL_PKCS11_MODULE", dir.file("missing.so").c_str(), 1);
    fontseal_store_report report = {};
    report.size = sizeof report;
    EXPECT_EQ(fontseal_store_list(nullptr, nullptr, &report), FONTSEAL_E_TOKEN_MODULE);
    EXPECT_NE(std::string(report.message).find("missing.so"), std::string::npos);
    unsetenv("FONTSEAL_PKCS11_MODULE");
    unsetenv("FONTSEAL_PIN_SOURCE");
    unsetenv("SOFTHSM2_CONF");
    unsetenv("XDG_DATA_HOME");
}

}  // namespace
