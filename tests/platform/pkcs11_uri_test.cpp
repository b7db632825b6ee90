// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/pkcs11_module.h"

namespace fontseal {
namespace {

TEST(Pkcs11Uri, ReadsWhatNamesAKeyAndRefusesTheRest) {
    struct Case {
        const char* uri;
        bool usable;
        const char* token;
        const char* object;
        std::vector<uint8_t> id;
        const char* module;
    };
    const Case cases[] = {
        {"pkcs11:token=fonts;object=k", true, "fonts", "k", {}, ""},
        {"PKCS11:object=k", true, "", "k", {}, ""},
        {"pkcs11:token=Foundry%20Key;id=%01%ff%00", true, "Foundry Key", "", {1, 0xff, 0}, ""},
        {"pkcs11:object=a%3bb;type=private?module-path=/usr/lib/m%2Eso&pin-source=x",
         true,
         "",
         "a;b",
         {},
         "/usr/lib/m.so"},
        {"pkcs11:token=fonts", false, "", "", {}, ""},         // no key named
        {"pkcs11:object=k;type=cert", false, "", "", {}, ""},  // a certificate is no key
        {"pkcs11:object=k%2", false, "", "", {}, ""},          // escape cut short
        {"pkcs11:object=k%zz", false, "", "", {}, ""},         // not hex
        {"pkcs11:object=k;object=j", false, "", "", {}, ""},   // ambiguous
        {"pkcs11:object", false, "", "", {}, ""},              // no value
        {"/home/me/key.pem", false, "", "", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri);
        TokenKeyUri uri;
        ASSERT_EQ(parse_pkcs11_uri(c.uri, uri), c.usable);
        if (!c.usable) continue;
        EXPECT_EQ(uri.token, c.token);
        EXPECT_EQ(uri.object, c.object);
        EXPECT_EQ(uri.hasId, !c.id.empty());
        EXPECT_EQ(uri.id, c.id);
        EXPECT_EQ(uri.modulePath, c.module);
    }
}

}  // namespace
}  // namespace fontseal
