// SPDX-License-Identifier: Apache-2.0
// Where the certificates of a system store and their private keys live, kept
// behind two small interfaces so the store calls do not care whether a key is
// a file beside its certificate or an object on a hardware token.
//
// A key is never handed out: a StoreKeyRef only names it and opens a
// StoreKeyProvider, which gives the public key and signs a DigestInfo. That is
// all a token can do too, so a token key is one more pair of implementations.
#pragma once
#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fontseal {

using StoreBytes = std::vector<uint8_t>;

// Faults of the store and key calls, the values the store calls leave for
// GetLastError (see crypt_api.h). Named after the platform's own codes.
enum : uint32_t {
    kStoreOk = 0,
    kStoreFileNotFound = 2,              // ERROR_FILE_NOT_FOUND
    kStoreMoreData = 234,                // ERROR_MORE_DATA
    kStoreInvalidArgument = 0x80070057,  // E_INVALIDARG
    kStoreBadKey = 0x80090003,           // NTE_BAD_KEY: the key cannot be read
    kStoreBadAlgorithm = 0x80090008,     // NTE_BAD_ALGID: not an RSA key
    kStoreNoMemory = 0x8009000E,         // NTE_NO_MEMORY
    kStoreKeyExposed = 0x80090010,       // NTE_PERM: others may read the key file
    kStoreKeyMismatch = 0x80090015,      // NTE_BAD_PUBLIC_KEY: key and certificate differ
    kStoreNoKeySet = 0x80090016,         // NTE_BAD_KEYSET: the key has gone
    kStoreSignFailed = 0x80090020,       // NTE_FAIL
    kStoreBadMessageType = 0x80091004,   // CRYPT_E_INVALID_MSG_TYPE
    kStoreNotFound = 0x80092004,         // CRYPT_E_NOT_FOUND
    kStoreNoKeyProperty = 0x8009200B,    // CRYPT_E_NO_KEY_PROPERTY
    kStoreCannotOpen = 0x80070003,       // the store's directory cannot be read
    kStoreCannotWrite = 0x80070052,      // the store's directory cannot be written
    kStoreNoModule = 0x8009001E,         // NTE_PROV_DLL_NOT_FOUND: the token module
    kStoreNoToken = 0x8010000C,          // SCARD_E_NO_SMARTCARD: the token has gone
    kStorePinRefused = 0x8010006B,       // SCARD_W_WRONG_CHV: wrong PIN, or none given
    kStorePinLocked = 0x8010006C,        // SCARD_W_CHV_BLOCKED
    kStorePinSource = 0x80100024,        // SCARD_E_FILE_NOT_FOUND: the PIN source cannot be read
};

// An opened private key that signs without giving itself away.
class StoreKeyProvider {
public:
    virtual ~StoreKeyProvider() = default;
    // The public key as a DER SubjectPublicKeyInfo.
    virtual StoreBytes publicKeyInfo() const = 0;
    // The length of every signature signDigestInfo makes (the modulus size).
    virtual size_t signatureSize() const = 0;
    // An RSA PKCS#1 v1.5 signature over a DER DigestInfo. False on failure.
    virtual bool signDigestInfo(const uint8_t* digest_info, size_t length,
                                StoreBytes& signature) = 0;
};

// The private key that belongs to a store entry, by reference.
class StoreKeyRef {
public:
    virtual ~StoreKeyRef() = default;
    // Where the key is, as text (a path, a token URI); the entry's key
    // property. Empty when the key has gone since the store was read.
    virtual std::string locator() const = 0;
    // Opens the key, or returns null with *fault set to a kStore* code.
    virtual std::unique_ptr<StoreKeyProvider> open(uint32_t* fault) const = 0;
};

// A private-key file beside its certificate: PKCS#8 PEM, unencrypted,
// readable by its owner only. A file that others may read, or that belongs
// to another user, is refused when it is opened, as ssh refuses one.
class FileKeyRef : public StoreKeyRef {
public:
    explicit FileKeyRef(std::string path) : path_(std::move(path)) {}
    std::string locator() const override;
    std::unique_ptr<StoreKeyProvider> open(uint32_t* fault) const override;

private:
    std::string path_;
};

// The provider over a key the process holds (EVP_PKEY).
class FileKeyProvider : public StoreKeyProvider {
public:
    // Takes ownership of `key`.
    explicit FileKeyProvider(EVP_PKEY* key);
    ~FileKeyProvider() override;
    FileKeyProvider(const FileKeyProvider&) = delete;
    FileKeyProvider& operator=(const FileKeyProvider&) = delete;
    StoreBytes publicKeyInfo() const override;
    size_t signatureSize() const override;
    bool signDigestInfo(const uint8_t* digest_info, size_t length, StoreBytes& signature) override;

private:
    EVP_PKEY* key_;
};

// One certificate of a store as the store holds it.
struct StoreEntry {
    StoreBytes certificate;            // DER
    std::string friendlyName;          // UTF-8; empty when none was given
    // The certificates between it and its root (DER), its issuer first, as
    // its CA delivered them; the root itself is never among them.
    std::vector<StoreBytes> chain;
    std::shared_ptr<StoreKeyRef> key;  // null when the entry has no key
    // A token's entry: its label and serial number.
    std::string tokenLabel;
    std::string tokenSerial;
    // The token hides its private objects until the user logs in, so
    // whether `key` is there is unknown until then.
    bool keyUnknown = false;
};

// A store of certificates: what the system store calls read.
class CertStore {
public:
    virtual ~CertStore() = default;
    // Every readable certificate, in the store's order. False, with *fault
    // set, when the store itself cannot be read.
    virtual bool load(std::vector<StoreEntry>& entries, uint32_t* fault) const = 0;
};

// A per-user store kept in one directory: for each entry <thumbprint>.cer
// (DER; PEM is read too), and beside it <thumbprint>.key (PKCS#8 PEM, mode
// 0600), <thumbprint>.name (the friendly name, UTF-8) and <thumbprint>.chain
// (its issuing certificates, PEM, issuer first) when it has them.
// Entries are listed in file-name order. A directory that does not exist
// yet is an empty store.
class DirectoryCertStore : public CertStore {
public:
    explicit DirectoryCertStore(std::string directory) : directory_(std::move(directory)) {}
    bool load(std::vector<StoreEntry>& entries, uint32_t* fault) const override;

    // Adds or updates the entry of `certificate` (DER). `key_pem`, when not
    // empty, replaces its key file; `friendly_name`, when not null, its name
    // (an empty name removes it); `chain`, when not empty, its issuing
    // certificates (an entry imported again without them keeps those it
    // has). Creates the directory (mode 0700) when needed. Every file
    // appears whole or not at all. Returns kStoreOk or a fault; `thumbprint`
    // receives the entry's 40 upper-case hex digits.
    uint32_t add(const StoreBytes& certificate, const std::string& key_pem,
                 const char* friendly_name, std::string* thumbprint,
                 const std::vector<StoreBytes>& chain = {}) const;
    // Removes the entry whose thumbprint is `thumbprint_hex` (40 hex digits,
    // either case) with its key and name. kStoreNotFound when there is none.
    uint32_t remove(const std::string& thumbprint_hex) const;

    const std::string& directory() const { return directory_; }

private:
    std::string directory_;
};

// The directory of the current user's store `name` ("MY"):
// $XDG_DATA_HOME/fontseal/certstore/<name>, $XDG_DATA_HOME defaulting to
// ~/.local/share. Empty when no home directory can be found.
std::string user_store_directory(const char* name);

// The SHA-1 of `der` as 40 upper-case hex digits.
std::string thumbprint_hex(const StoreBytes& der);

}  // namespace fontseal
