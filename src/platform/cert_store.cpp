// SPDX-License-Identifier: Apache-2.0
#include "platform/cert_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/ossl_ptr.h"
#include "platform/regular_file.h"

namespace fontseal {

namespace {

// Certificates, names and keys are small; anything larger is not ours.
constexpr size_t kMaxStoreFile = 1 << 20;

const char kCertSuffix[] = ".cer";
const char kKeySuffix[] = ".key";
const char kNameSuffix[] = ".name";
const char kChainSuffix[] = ".chain";
// A chain longer than this is not a CA's delivery.
constexpr size_t kMaxChain = 16;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Reads what is left of `fd` into `out`; false on an error or a file above
// the limit. Key bytes are wiped from every buffer they pass through.
bool read_all(int fd, StoreBytes& out) {
    out.clear();
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            OPENSSL_cleanse(chunk, sizeof chunk);
            return true;
        }
        if (out.size() + static_cast<size_t>(n) > kMaxStoreFile) break;
        if (out.capacity() < out.size() + static_cast<size_t>(n)) {
            StoreBytes bigger;
            bigger.reserve(std::max(out.size() * 2, out.size() + static_cast<size_t>(n)));
            bigger.assign(out.begin(), out.end());
            OPENSSL_cleanse(out.data(), out.size());
            out.swap(bigger);
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    OPENSSL_cleanse(chunk, sizeof chunk);
    OPENSSL_cleanse(out.data(), out.size());
    out.clear();
    return false;
}

// An entry that is not a regular file (a FIFO would stall every store
// call) is skipped with a warning; a missing one is simply absent.
bool read_file(const std::string& path, StoreBytes& out) {
    int reason = 0;
    Fd fd(open_regular_file(path.c_str(), &reason));
    if (fd.get() < 0) {
        if (reason == kFileNotRegular || reason == EISDIR)
            std::fprintf(stderr, "fontseal: warning: skipping store entry %s: %s\n", path.c_str(),
                         file_fault_text(reason).c_str());
        return false;
    }
    return read_all(fd.get(), out);
}

bool regular_file_exists(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode))
        std::fprintf(stderr, "fontseal: warning: skipping store entry %s: %s\n", path.c_str(),
                     file_fault_text(S_ISDIR(st.st_mode) ? EISDIR : kFileNotRegular).c_str());
    return S_ISREG(st.st_mode);
}

bool ends_with(const std::string& text, const char* suffix) {
    size_t n = std::strlen(suffix);
    return text.size() > n && text.compare(text.size() - n, n, suffix) == 0;
}

// The DER of a certificate file: DER as stored, or the first PEM
// certificate. False when the file holds no certificate.
bool certificate_der(const StoreBytes& bytes, StoreBytes& der) {
    const unsigned char* p = bytes.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
    if (cert && p == bytes.data() + bytes.size()) {
        X509_free(cert);
        der = bytes;
        return true;
    }
    X509_free(cert);
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) return false;
    X509Ptr pem(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!pem) return false;
    unsigned char* out = nullptr;
    int length = i2d_X509(pem.get(), &out);
    if (length <= 0) return false;
    der.assign(out, out + length);
    OPENSSL_free(out);
    return true;
}

// Every PEM certificate of a chain file, as DER, in file order; what
// cannot be read ends the list.
std::vector<StoreBytes> chain_der(const StoreBytes& bytes) {
    std::vector<StoreBytes> out;
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    while (bio && out.size() < kMaxChain) {
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert) break;
        unsigned char* der = nullptr;
        const int length = i2d_X509(cert.get(), &der);
        if (length <= 0) break;
        out.emplace_back(der, der + length);
        OPENSSL_free(der);
    }
    return out;
}

// The chain file's text: each certificate as PEM.
bool chain_pem(const std::vector<StoreBytes>& chain, std::string& pem) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return false;
    for (const StoreBytes& der : chain) {
        const unsigned char* p = der.data();
        X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        if (!cert || PEM_write_bio_X509(bio.get(), cert.get()) != 1) return false;
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    pem.assign(data ? data : "", length > 0 ? static_cast<size_t>(length) : 0);
    return true;
}

// One certificate file of the directory.
struct DirectoryEntry {
    std::string stem;  // path without the suffix
    StoreBytes der;
};

// The certificate files of `directory` in name order. A directory that does
// not exist is empty.
bool scan(const std::string& directory, std::vector<DirectoryEntry>& out, uint32_t* fault) {
    out.clear();
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) {
        if (errno == ENOENT) return true;
        *fault = kStoreCannotOpen;
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name[0] != '.' && ends_with(name, kCertSuffix)) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        StoreBytes bytes;
        DirectoryEntry entry;
        if (!read_file(directory + "/" + name, bytes) || !certificate_der(bytes, entry.der))
            continue;
        entry.stem = directory + "/" + name.substr(0, name.size() - std::strlen(kCertSuffix));
        out.push_back(std::move(entry));
    }
    return true;
}

// Creates every missing directory of `path`, the new ones with mode 0700.
bool make_directories(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes `bytes` to `path` through a temporary file beside it, so the file
// is either the old one or the whole new one.
bool write_whole(const std::string& path, const void* bytes, size_t length, mode_t mode) {
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    Fd fd(::mkstemp(name.data()));  // created with mode 0600
    if (fd.get() < 0) return false;
    bool ok = ::fchmod(fd.get(), mode) == 0;
    const char* p = static_cast<const char*>(bytes);
    size_t left = length;
    while (ok && left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    ok = ok && ::rename(name.data(), path.c_str()) == 0;
    if (!ok) ::unlink(name.data());
    return ok;
}

int no_password(char*, int, int, void*) { return -1; }

}  // namespace

// ---- keys ------------------------------------------------------------------

std::string FileKeyRef::locator() const { return path_; }

std::unique_ptr<StoreKeyProvider> FileKeyRef::open(uint32_t* fault) const {
    int reason = 0;
    Fd fd(open_regular_file(path_.c_str(), &reason));
    if (fd.get() < 0) {
        *fault = reason == ENOENT ? kStoreNoKeySet : kStoreBadKey;
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *fault = kStoreBadKey;
        return nullptr;
    }
    // Checked on the open file, so the verdict is about the bytes read.
    if ((st.st_mode & 077) != 0 || st.st_uid != ::geteuid()) {
        *fault = kStoreKeyExposed;
        return nullptr;
    }
    StoreBytes pem;
    if (!read_all(fd.get(), pem)) {
        *fault = kStoreBadKey;
        return nullptr;
    }
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* key =
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, no_password, nullptr) : nullptr;
    bio.reset();
    OPENSSL_cleanse(pem.data(), pem.size());
    if (!key) {
        *fault = kStoreBadKey;
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        EVP_PKEY_free(key);
        *fault = kStoreBadAlgorithm;
        return nullptr;
    }
    return std::make_unique<FileKeyProvider>(key);
}

FileKeyProvider::FileKeyProvider(EVP_PKEY* key) : key_(key) {}

FileKeyProvider::~FileKeyProvider() { EVP_PKEY_free(key_); }

StoreBytes FileKeyProvider::publicKeyInfo() const {
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(key_, &der);
    if (length <= 0) return {};
    StoreBytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

size_t FileKeyProvider::signatureSize() const {
    int size = EVP_PKEY_get_size(key_);
    return size > 0 ? static_cast<size_t>(size) : 0;
}

bool FileKeyProvider::signDigestInfo(const uint8_t* digest_info, size_t length,
                                     StoreBytes& signature) {
    // No digest is set on the context: the DigestInfo is padded (PKCS#1
    // block type 1) and signed as it is, as a token's C_Sign with CKM_RSA_PKCS does.
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key_, nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &size, digest_info, length) <= 0)
        return false;
    signature.assign(size, 0);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest_info, length) <= 0) return false;
    signature.resize(size);
    return true;
}

// ---- the directory store -----------------------------------------------------

bool DirectoryCertStore::load(std::vector<StoreEntry>& entries, uint32_t* fault) const {
    entries.clear();
    std::vector<DirectoryEntry> files;
    if (!scan(directory_, files, fault)) return false;
    for (DirectoryEntry& file : files) {
        StoreEntry entry;
        entry.certificate = std::move(file.der);
        StoreBytes name;
        if (read_file(file.stem + kNameSuffix, name)) {
            entry.friendlyName.assign(name.begin(), name.end());
            while (!entry.friendlyName.empty() &&
                   (entry.friendlyName.back() == '\n' || entry.friendlyName.back() == '\r'))
                entry.friendlyName.pop_back();
        }
        if (regular_file_exists(file.stem + kKeySuffix))
            entry.key = std::make_shared<FileKeyRef>(file.stem + kKeySuffix);
        StoreBytes chain;
        if (read_file(file.stem + kChainSuffix, chain)) entry.chain = chain_der(chain);
        entries.push_back(std::move(entry));
    }
    return true;
}

uint32_t DirectoryCertStore::add(const StoreBytes& certificate, const std::string& key_pem,
                                 const char* friendly_name, std::string* thumbprint,
                                 const std::vector<StoreBytes>& chain) const {
    const std::string hex = thumbprint_hex(certificate);
    if (thumbprint) *thumbprint = hex;
    if (!make_directories(directory_)) return kStoreCannotWrite;
    // A certificate already present under another file name keeps its files.
    std::vector<DirectoryEntry> files;
    uint32_t fault = kStoreOk;
    if (!scan(directory_, files, &fault)) return fault;
    std::string stem = directory_ + "/" + hex;
    for (const DirectoryEntry& file : files)
        if (thumbprint_hex(file.der) == hex) stem = file.stem;

    if (!key_pem.empty() && !write_whole(stem + kKeySuffix, key_pem.data(), key_pem.size(), 0600))
        return kStoreCannotWrite;
    if (friendly_name) {
        std::string text = friendly_name;
        if (text.empty()) {
            if (::unlink((stem + kNameSuffix).c_str()) != 0 && errno != ENOENT)
                return kStoreCannotWrite;
        } else if (!write_whole(stem + kNameSuffix, text.data(), text.size(), 0644)) {
            return kStoreCannotWrite;
        }
    }
    if (!chain.empty()) {
        std::string pem;
        if (!chain_pem(chain, pem) ||
            !write_whole(stem + kChainSuffix, pem.data(), pem.size(), 0644))
            return kStoreCannotWrite;
    }
    // The certificate last: a listed entry never lacks the key it was given.
    if (!write_whole(stem + kCertSuffix, certificate.data(), certificate.size(), 0644))
        return kStoreCannotWrite;
    return kStoreOk;
}

uint32_t DirectoryCertStore::remove(const std::string& thumbprint) const {
    std::string wanted = thumbprint;
    for (char& c : wanted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::vector<DirectoryEntry> files;
    uint32_t fault = kStoreOk;
    if (!scan(directory_, files, &fault)) return fault;
    bool found = false;
    for (const DirectoryEntry& file : files) {
        if (thumbprint_hex(file.der) != wanted) continue;
        found = true;
        // The certificate first: an entry half removed is no longer listed.
        for (const char* suffix : {kCertSuffix, kKeySuffix, kNameSuffix, kChainSuffix})
            if (::unlink((file.stem + suffix).c_str()) != 0 && errno != ENOENT)
                return kStoreCannotWrite;
    }
    return found ? kStoreOk : kStoreNotFound;
}

std::string user_store_directory(const char* name) {
    std::string base;
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !home[0]) {
            struct passwd* pw = ::getpwuid(::geteuid());
            home = pw ? pw->pw_dir : nullptr;
        }
        if (!home || !home[0]) return {};
        base = std::string(home) + "/.local/share";
    }
    return base + "/fontseal/certstore/" + name;
}

std::string thumbprint_hex(const StoreBytes& der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr)) return {};
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}

}  // namespace fontseal
