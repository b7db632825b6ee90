// SPDX-License-Identifier: Apache-2.0
// What the signed-message layer agrees to encode: a signed message over any
// content type but data, which it tells by OpenSSL's object table.
#include <gtest/gtest.h>

#include "der/oids.h"
#include "platform/cert_store.h"
#include "platform/crypt_api.h"

namespace fontseal {
namespace {

TEST(CryptMsgEncode, RefusesDataAndTakesOtherContentTypes) {
    CMSG_SIGNED_ENCODE_INFO info = {};
    info.cbSize = sizeof info;
    struct Case {
        const char* innerType;
        DWORD type;
        bool opened;
        DWORD error;  // when not opened
    };
    const Case cases[] = {
        {kOidIndirectData, CMSG_SIGNED, true, 0},
        {kOidSignedData, CMSG_SIGNED, true, 0},
        {kOidData, CMSG_SIGNED, false, kStoreInvalidArgument},
        // The same identifier however it is reached, and a name is no number.
        {"1.2.840.113549.1.7.1", CMSG_SIGNED, false, kStoreInvalidArgument},
        {"pkcs7-data", CMSG_SIGNED, true, 0},
        {"1.2.840.113549.1.7.10", CMSG_SIGNED, true, 0},
        {nullptr, CMSG_SIGNED, false, kStoreInvalidArgument},
        {kOidIndirectData, CMSG_SIGNED + 1, false, kStoreBadMessageType},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.innerType ? c.innerType : "(null)");
        SetLastError(0);
        HCRYPTMSG message = CryptMsgOpenToEncode(PKCS_7_ASN_ENCODING | X509_ASN_ENCODING, 0, c.type,
                                                 &info, c.innerType, nullptr);
        EXPECT_EQ(message != nullptr, c.opened);
        if (message) {
            EXPECT_TRUE(CryptMsgClose(message));
        } else {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
}

}  // namespace
}  // namespace fontseal
