// SPDX-License-Identifier: Apache-2.0
#include "platform/root_file.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "base/ossl_ptr.h"
#include "platform/regular_file.h"

namespace fontseal {

namespace {

// A bundle of every public root is a few hundred KiB.
constexpr size_t kMaxRootFile = 64u << 20;

}  // namespace

bool load_root_file(X509_STORE* store, const char* path) {
    SecureBytes bytes;
    if (!store || !read_regular_file(path, kMaxRootFile, bytes) || bytes.empty()) return false;
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) return false;
    int added = 0;
    CertInfosPtr infos(PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
    for (int i = 0; infos && i < sk_X509_INFO_num(infos.get()); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
        if (info->x509 && X509_STORE_add_cert(store, info->x509) == 1) ++added;
        if (info->crl && X509_STORE_add_crl(store, info->crl) == 1) ++added;
    }
    if (!infos || added == 0) {
        const unsigned char* at = bytes.data();
        X509Ptr der(d2i_X509(nullptr, &at, static_cast<long>(bytes.size())));
        if (der && X509_STORE_add_cert(store, der.get()) == 1) ++added;
    }
    ERR_clear_error();
    return added > 0;
}

}  // namespace fontseal
