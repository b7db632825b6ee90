// SPDX-License-Identifier: Apache-2.0
#include "key/key_file.h"

#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "base/error.h"
#include "base/memory_stream.h"
#include "base/ossl_ptr.h"
#include "base/secure_bytes.h"
#include "key/key_library.h"
#include "key/pvk_reader.h"
#include "platform/file_source.h"

namespace fontseal {
namespace {

// Far beyond any key file, chain included; a larger file is not one.
constexpr int kMaxKeyFileSize = 4 * 1024 * 1024;

// Clears OpenSSL's error queue on every way out, so a failed attempt leaves
// nothing behind for the next caller on this thread.
struct ErrorQueueGuard {
    ~ErrorQueueGuard() { ERR_clear_error(); }
};

SecureBytes read_whole(const char* path, bool& too_large) {
    FileSource file(path);
    SecureBytes bytes;
    too_large = file.size() > kMaxKeyFileSize;
    if (too_large || file.size() <= 0) return bytes;
    bytes.resize(static_cast<size_t>(file.size()));
    file.read(bytes.data(), file.size());
    return bytes;
}

bool is_pvk(const SecureBytes& bytes) {
    return bytes.size() >= sizeof kPvkMagicBytes &&
           std::memcmp(bytes.data(), kPvkMagicBytes, sizeof kPvkMagicBytes) == 0;
}

// The PEM facts that decide how a text file is read.
struct PemScan {
    bool pem = false;        // some "-----BEGIN " line
    bool key = false;        // a block whose label ends in "PRIVATE KEY"
    bool encrypted = false;  // that block is encrypted (PKCS#8 or PEM headers)
    size_t keyStart = 0;     // where that block's BEGIN line starts
};

PemScan scan_pem(const SecureBytes& bytes) {
    static const std::string kBegin = "-----BEGIN ";
    PemScan scan;
    const char* text = reinterpret_cast<const char*>(bytes.data());
    const char* end = text + bytes.size();
    const char* at = std::search(text, end, kBegin.begin(), kBegin.end());
    while (at != end) {
        scan.pem = true;
        const char* label = at + kBegin.size();
        const char* dashes = std::find(label, end, '-');
        const std::string name(label, dashes);
        static const std::string kKey = "PRIVATE KEY";
        if (name.size() >= kKey.size() &&
            name.compare(name.size() - kKey.size(), kKey.size(), kKey) == 0) {
            scan.key = true;
            scan.keyStart = static_cast<size_t>(at - text);
            static const std::string kProcType = "Proc-Type: 4,ENCRYPTED";
            static const std::string kEnd = "-----END ";
            const char* blockEnd = std::search(dashes, end, kEnd.begin(), kEnd.end());
            scan.encrypted =
                name == "ENCRYPTED PRIVATE KEY" ||
                std::search(dashes, blockEnd, kProcType.begin(), kProcType.end()) != blockEnd;
            return scan;
        }
        at = std::search(dashes, end, kBegin.begin(), kBegin.end());
    }
    return scan;
}

// The DER forms, each decoded only far enough to tell which it is.
template <class Owner, class T>
Owner decode_der(const SecureBytes& bytes, T* (*d2i)(T**, const unsigned char**, long)) {
    const unsigned char* at = bytes.data();
    return Owner(d2i(nullptr, &at, static_cast<long>(bytes.size())));
}

EvpPkeyPtr decode_plain_der(const SecureBytes& bytes, OSSL_LIB_CTX* library) {
    // PKCS#8, or the traditional per-algorithm forms (PKCS#1 for RSA).
    const unsigned char* at = bytes.data();
    return EvpPkeyPtr(
        d2i_AutoPrivateKey_ex(nullptr, &at, static_cast<long>(bytes.size()), library, nullptr));
}

int accept_key(EvpPkeyPtr key, const KeyLibraryRef& library, KeyFileContents& out) {
    if (!key) return kErrKeyFile;
    if (!EVP_PKEY_is_a(key.get(), "RSA")) return kErrKeyNotRsa;
    out.key.reset(new EvpSigningKey(std::move(key), library));
    return 0;
}

bool sealed_within(const X509_SIG* sealed);

// An encrypted PKCS#8 block's count (the older PEM encryption headers
// derive their key in one step).
bool pem_within(const SecureBytes& bytes, const PemScan& scan) {
    BioPtr bio(BIO_new_mem_buf(bytes.data() + scan.keyStart,
                               static_cast<int>(bytes.size() - scan.keyStart)));
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (!bio || PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) return true;
    bool within = true;
    if (std::strcmp(name, "ENCRYPTED PRIVATE KEY") == 0) {
        const unsigned char* at = data;
        X509SigPtr sealed(d2i_X509_SIG(nullptr, &at, length));
        within = !sealed || sealed_within(sealed.get());
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    return within;
}

int load_pem(const SecureBytes& bytes, const PemScan& scan, const char* password,
             const KeyLibraryRef& library, KeyFileContents& out) {
    if (!scan.key) return kErrKeyFormat;
    if (scan.encrypted && !pem_within(bytes, scan)) return kErrKeyIterations;
    // OpenSSL's decoder is handed the password itself, so that nobody is
    // ever asked for one, and starts at the key block, whatever precedes it.
    EVP_PKEY* raw = nullptr;
    DecoderCtxPtr decoder(OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, nullptr,
                                                        EVP_PKEY_KEYPAIR, library.get(), nullptr));
    if (!decoder) throw std::bad_alloc();
    const size_t length = password ? std::strlen(password) : 0;
    if (!OSSL_DECODER_CTX_set_passphrase(
            decoder.get(), reinterpret_cast<const unsigned char*>(password ? password : ""),
            length)) {
        throw std::bad_alloc();
    }
    const unsigned char* data = bytes.data() + scan.keyStart;
    size_t remaining = bytes.size() - scan.keyStart;
    const bool decoded = OSSL_DECODER_from_data(decoder.get(), &data, &remaining) == 1;
    EvpPkeyPtr key(raw);
    if (!decoded || !key) return scan.encrypted ? kErrKeyPassword : kErrKeyFile;
    return accept_key(std::move(key), library, out);
}

// ---- iteration counts ------------------------------------------------------
// Every count is read from the file and judged before anything is derived
// with it; a count that cannot be read is left to the decoder to refuse.

bool count_within(const ASN1_INTEGER* count) {
    if (!count) return true;  // absent: 1
    uint64_t value = 0;
    return ASN1_INTEGER_get_uint64(&value, count) != 1 || value <= kMaxKeyIterations;
}

// scrypt's work, N * r * p, judged as a count: OpenSSL's memory bound caps
// N * r, but not the parallelisation p that multiplies the time.
bool scrypt_within(const ASN1_TYPE* parameters) {
    ScryptParamsPtr scrypt(static_cast<SCRYPT_PARAMS*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), parameters)));
    if (!scrypt) return true;
    uint64_t work = 1;
    for (const ASN1_INTEGER* factor :
         {scrypt->costParameter, scrypt->blockSize, scrypt->parallelizationParameter}) {
        uint64_t value = 0;
        if (!factor || ASN1_INTEGER_get_uint64(&value, factor) != 1) return true;
        if (value > kMaxKeyIterations) return false;
        work *= value == 0 ? 1 : value;
        if (work > kMaxKeyIterations) return false;
    }
    return true;
}

// The iteration count of a password-based encryption algorithm: PKCS#5 v1
// and PKCS#12 PBE parameters, or PBES2 with PBKDF2 or scrypt.
bool algorithm_within(const X509_ALGOR* algorithm) {
    if (!algorithm) return true;
    const ASN1_OBJECT* oid = nullptr;
    int type = 0;
    const void* value = nullptr;
    X509_ALGOR_get0(&oid, &type, &value, algorithm);
    if (type != V_ASN1_SEQUENCE || !value) return true;
    const ASN1_TYPE* parameters = algorithm->parameter;
    if (OBJ_obj2nid(oid) == NID_pbes2) {
        Pbe2ParamPtr pbes2(static_cast<PBE2PARAM*>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), parameters)));
        if (!pbes2 || !pbes2->keyfunc) return true;
        const ASN1_OBJECT* kdf = nullptr;
        X509_ALGOR_get0(&kdf, nullptr, nullptr, pbes2->keyfunc);
        if (OBJ_obj2nid(kdf) == NID_id_scrypt) return scrypt_within(pbes2->keyfunc->parameter);
        if (OBJ_obj2nid(kdf) != NID_id_pbkdf2) return true;
        Pbkdf2ParamPtr pbkdf2(static_cast<PBKDF2PARAM*>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter)));
        return !pbkdf2 || count_within(pbkdf2->iter);
    }
    PbeParamPtr pbe(
        static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), parameters)));
    return !pbe || count_within(pbe->iter);
}

bool sealed_within(const X509_SIG* sealed) {
    const X509_ALGOR* algorithm = nullptr;
    X509_SIG_get0(sealed, &algorithm, nullptr);
    return algorithm_within(algorithm);
}

bool bags_within(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth = 0) {
    for (int i = 0; bags && i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_pkcs8ShroudedKeyBag:
                if (!sealed_within(PKCS12_SAFEBAG_get0_pkcs8(bag))) return false;
                break;
            case NID_safeContentsBag:
                if (depth < 8 && !bags_within(PKCS12_SAFEBAG_get0_safes(bag), depth + 1))
                    return false;
                break;
            default:
                break;
        }
    }
    return true;
}

// The MAC's count, judged before the MAC is checked.
bool mac_within(const PKCS12* p12) {
    const ASN1_INTEGER* iterations = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &iterations, p12);
    return count_within(iterations);
}

// Opens each part of a PKCS#12 file's contents with `password` and hands
// its bags to `visit` (null for a part that is neither plain nor encrypted
// data, or that would not open); `encrypted` judges an encrypted part's
// algorithm before it is opened. False as soon as either says so; true for
// contents that cannot be unpacked at all (there is nothing to visit).
template <class Judge, class Visit>
bool each_part(const PKCS12* p12, const char* password, int passwordLength, Judge encrypted,
               Visit visit) {
    Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12));
    for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        BagStackPtr bags;
        switch (OBJ_obj2nid(safe->type)) {
            case NID_pkcs7_data:
                bags.reset(PKCS12_unpack_p7data(safe));
                break;
            case NID_pkcs7_encrypted:
                if (!safe->d.encrypted || !safe->d.encrypted->enc_data) break;
                if (!encrypted(safe->d.encrypted->enc_data->algorithm)) return false;
                bags.reset(PKCS12_unpack_p7encdata(safe, password, passwordLength));
                break;
            default:
                break;
        }
        if (!visit(bags.get(), OBJ_obj2nid(safe->type))) return false;
    }
    return true;
}

// Every count of the contents, judged before anything is decrypted with
// it: the encrypted parts' own, and the key bags' inside them once those
// parts (whose counts passed) are open. `password` is the one the MAC took.
bool contents_within(const PKCS12* p12, const char* password) {
    return each_part(
        p12, password, password ? -1 : 0,
        [](const X509_ALGOR* algorithm) { return algorithm_within(algorithm); },
        [](const STACK_OF(PKCS12_SAFEBAG) * bags, int) { return bags_within(bags); });
}

// The password a PKCS#12 MAC accepts: the caller's, or for an empty one
// either no password or the empty string, as writers differ. False when
// the MAC refuses.
bool pkcs12_password(PKCS12* p12, const char* password, const char*& chosen) {
    chosen = password;
    if (!PKCS12_mac_present(p12)) return true;
    if (password && *password) return PKCS12_verify_mac(p12, password, -1) == 1;
    if (PKCS12_verify_mac(p12, nullptr, 0) == 1) {
        chosen = nullptr;
        return true;
    }
    chosen = "";
    return PKCS12_verify_mac(p12, "", 0) == 1;
}

void append_der(X509* certificate, std::vector<std::vector<uint8_t>>& list) {
    const int length = i2d_X509(certificate, nullptr);
    if (length <= 0) throw error(kErrKeyFile);
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* at = der.data();
    if (i2d_X509(certificate, &at) != length) throw error(kErrKeyFile);
    list.push_back(std::move(der));
}

// What a PKCS#12 file holds, bag by bag.
struct Pkcs12Parts {
    EvpPkeyPtr key;
    std::vector<X509Ptr> certificates;
};

// False when a bag cannot be opened with `password`.
bool collect_bags(const STACK_OF(PKCS12_SAFEBAG) * bags, const char* password,
                  const KeyLibraryRef& library, Pkcs12Parts& parts, int depth = 0) {
    for (int i = 0; bags && i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_keyBag:
            case NID_pkcs8ShroudedKeyBag: {
                if (parts.key) break;  // the first key, as PKCS12_parse takes it
                Pkcs8Ptr owned;
                const PKCS8_PRIV_KEY_INFO* info = PKCS12_SAFEBAG_get0_p8inf(bag);
                if (PKCS12_SAFEBAG_get_nid(bag) == NID_pkcs8ShroudedKeyBag) {
                    owned.reset(PKCS12_decrypt_skey_ex(bag, password, -1, library.get(), nullptr));
                    if (!owned) return false;
                    info = owned.get();
                }
                if (info) parts.key.reset(EVP_PKCS82PKEY_ex(info, library.get(), nullptr));
                break;
            }
            case NID_certBag:
                if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate)
                    if (X509* certificate = PKCS12_SAFEBAG_get1_cert(bag))
                        parts.certificates.emplace_back(certificate);
                break;
            case NID_safeContentsBag:
                if (depth < 8 && !collect_bags(PKCS12_SAFEBAG_get0_safes(bag), password, library,
                                               parts, depth + 1))
                    return false;
                break;
            default:
                break;
        }
    }
    return true;
}

// OpenSSL 3.0's PKCS12_parse refuses any password for a file without a MAC
// (it asks the missing MAC to check it), so such a file, as `openssl pkcs12
// -nomac` writes it, is read here bag by bag. False when the password does
// not open it.
bool parse_without_mac(PKCS12* p12, const char* password, const KeyLibraryRef& library,
                       Pkcs12Parts& parts) {
    const bool opened = each_part(
        p12, password, -1, [](const X509_ALGOR*) { return true; },
        [&](const STACK_OF(PKCS12_SAFEBAG) * bags, int type) {
            // An encrypted part the password does not open: the wrong password.
            if (!bags && type == NID_pkcs7_encrypted) return false;
            return collect_bags(bags, password, library, parts);
        });
    return opened && parts.key != nullptr;
}

int load_pkcs12(PKCS12* p12, const char* password, const KeyLibraryRef& library,
                KeyFileContents& out) {
    const char* chosen = nullptr;
    if (!mac_within(p12)) return kErrKeyIterations;
    if (!pkcs12_password(p12, password, chosen)) return kErrKeyPassword;
    if (!contents_within(p12, chosen)) return kErrKeyIterations;
    if (!PKCS12_mac_present(p12) && chosen && *chosen) {
        Pkcs12Parts parts;
        if (!parse_without_mac(p12, chosen, library, parts)) return kErrKeyPassword;
        // The certificate of the key first, the others in file order.
        auto own = std::find_if(parts.certificates.begin(), parts.certificates.end(),
                                [&](const X509Ptr& c) {
                                    return X509_check_private_key(c.get(), parts.key.get()) == 1;
                                });
        if (own != parts.certificates.end()) std::rotate(parts.certificates.begin(), own, own + 1);
        const int accepted = accept_key(std::move(parts.key), library, out);
        if (accepted != 0) return accepted;
        for (const auto& certificate : parts.certificates)
            append_der(certificate.get(), out.certificates);
        return 0;
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawOthers = nullptr;
    const bool parsed = PKCS12_parse(p12, chosen, &rawKey, &rawCertificate, &rawOthers) == 1;
    EvpPkeyPtr key(rawKey);
    X509Ptr certificate(rawCertificate);
    CertStackPtr others(rawOthers);
    // Without a MAC nothing has checked the password before the decryption.
    if (!parsed) return PKCS12_mac_present(p12) ? kErrKeyFile : kErrKeyPassword;
    const int accepted = accept_key(std::move(key), library, out);
    if (accepted != 0) return accepted;
    if (certificate) append_der(certificate.get(), out.certificates);
    for (int i = 0; others && i < sk_X509_num(others.get()); ++i)
        append_der(sk_X509_value(others.get(), i), out.certificates);
    return 0;
}

int load_der(const SecureBytes& bytes, const char* password, const KeyLibraryRef& library,
             KeyFileContents& out) {
    if (auto p12 = decode_der<Pkcs12Ptr, PKCS12>(bytes, d2i_PKCS12)) {
        out.form = KeyFileForm::kPkcs12;
        return load_pkcs12(p12.get(), password, library, out);
    }
    if (auto sealed = decode_der<X509SigPtr, X509_SIG>(bytes, d2i_X509_SIG)) {
        out.form = KeyFileForm::kDer;
        if (!sealed_within(sealed.get())) return kErrKeyIterations;
        const size_t length = password ? std::strlen(password) : 0;
        Pkcs8Ptr info(PKCS8_decrypt_ex(sealed.get(), password ? password : "",
                                       static_cast<int>(length), library.get(), nullptr));
        if (!info) return kErrKeyPassword;
        EvpPkeyPtr key(EVP_PKCS82PKEY_ex(info.get(), library.get(), nullptr));
        return accept_key(std::move(key), library, out);
    }
    EvpPkeyPtr key = decode_plain_der(bytes, library.get());
    if (!key) return kErrKeyFormat;
    out.form = KeyFileForm::kDer;
    return accept_key(std::move(key), library, out);
}

int load(const char* path, const char* password, KeyFileContents& out) {
    bool too_large = false;
    const SecureBytes bytes = read_whole(path, too_large);
    if (too_large || bytes.empty()) return kErrKeyFormat;

    if (is_pvk(bytes)) {
        out.form = KeyFileForm::kPvk;
        MemoryStream stream(bytes.data(), static_cast<int>(bytes.size()));
        EvpPkeyPtr key;
        const int loaded = load_private_key(stream, password, key);
        if (loaded != 0) return loaded;
        out.key.reset(new EvpSigningKey(std::move(key)));
        return 0;
    }

    KeyLibraryRef library = new_key_library();
    if (!library) throw std::bad_alloc();
    ScopedDefaultLibrary scope(library.get());
    const PemScan scan = scan_pem(bytes);
    if (scan.pem) {
        out.form = KeyFileForm::kPem;
        return load_pem(bytes, scan, password, library, out);
    }
    return load_der(bytes, password, library, out);
}

int needs_password(const char* path) {
    bool too_large = false;
    const SecureBytes bytes = read_whole(path, too_large);
    if (too_large || bytes.empty()) return kErrKeyFormat;
    if (is_pvk(bytes)) {
        MemoryStream stream(bytes.data(), static_cast<int>(bytes.size()));
        return pvk_needs_password(stream);
    }
    const PemScan scan = scan_pem(bytes);
    if (scan.pem) return scan.key ? (scan.encrypted ? 1 : 0) : kErrKeyFormat;

    if (auto p12 = decode_der<Pkcs12Ptr, PKCS12>(bytes, d2i_PKCS12)) {
        if (!mac_within(p12.get())) return kErrKeyIterations;
        if (PKCS12_mac_present(p12.get())) {
            const char* chosen = nullptr;
            return pkcs12_password(p12.get(), nullptr, chosen) ? 0 : 1;
        }
        // No MAC to ask: only trying the empty password tells.
        KeyFileContents trial;
        KeyLibraryRef library = new_key_library();
        if (!library) throw std::bad_alloc();
        ScopedDefaultLibrary scope(library.get());
        return load_pkcs12(p12.get(), nullptr, library, trial) == kErrKeyPassword ? 1 : 0;
    }
    if (decode_der<X509SigPtr, X509_SIG>(bytes, d2i_X509_SIG)) return 1;
    KeyLibraryRef library = new_key_library();
    if (!library) throw std::bad_alloc();
    return decode_plain_der(bytes, library.get()) ? 0 : kErrKeyFormat;
}

}  // namespace

int load_key_file(const char* path, const char* password, KeyFileContents& out) {
    out = KeyFileContents();
    ErrorQueueGuard clear;
    int result;
    try {
        result = load(path, password, out);
    } catch (const error& e) {
        out = KeyFileContents();
        if (e.code == kErrCannotOpen) throw;
        return kErrKeyFile;
    } catch (const std::bad_alloc&) {
        out = KeyFileContents();
        return kErrKeyFile;
    }
    if (result != 0) {
        const KeyFileForm form = out.form;
        out = KeyFileContents();
        out.form = form;
    }
    return result;
}

int key_file_needs_password(const char* path) {
    ErrorQueueGuard clear;
    try {
        return needs_password(path);
    } catch (const error& e) {
        if (e.code == kErrCannotOpen) throw;
        return kErrKeyFile;
    } catch (const std::bad_alloc&) {
        return kErrKeyFile;
    }
}

}  // namespace fontseal
