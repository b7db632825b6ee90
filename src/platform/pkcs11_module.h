// Keys held on PKCS#11 tokens, reached through the module's own function
// list: the private key never leaves the token, the library asks it for one
// RSA operation per signature.
#pragma once
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fontseal {

enum : int32_t {
    // The module cannot be loaded, has no function list or refuses to start.
    kErrTokenModule = -5840,
    // No initialised token matches the URI.
    kErrTokenNotFound = -5841,
    // The token holds no private key (or certificate) the URI names.
    kErrTokenObjectNotFound = -5842,
    // The PIN was refused, or none was given for a token that needs one.
    kErrTokenPin = -5843,
    // The PIN is locked: the token refuses every further attempt.
    kErrTokenPinLocked = -5844,
    // The key on the token is not an RSA key.
    kErrTokenKeyNotRsa = -5845,
    // The token failed an operation it should have done.
    kErrTokenFailure = -5846,
    // Not a usable pkcs11: URI.
    kErrTokenUri = -5847,
};

// What a pkcs11: URI (RFC 7512) names; empty fields match anything.
struct TokenKeyUri {
    std::string token;
    std::string manufacturer;
    std::string model;
    std::string serial;
    std::string object;       // CKA_LABEL
    std::vector<uint8_t> id;  // CKA_ID
    bool hasId = false;
    std::string modulePath;  // the query's module-path
};

bool is_pkcs11_uri(const char* text);
// False for a URI this library cannot use: a bad percent escape, no key named
// by object= or id=, or a type= other than private.
bool parse_pkcs11_uri(const char* text, TokenKeyUri& out);

// One loaded module, shared by every session of the process that uses the
// same path, so that one caller never finalises it under another.
class Pkcs11Module {
public:
    // The module at `path`; empty: FONTSEAL_PKCS11_MODULE, else the p11-kit
    // proxy. Raises kErrTokenModule.
    static std::shared_ptr<Pkcs11Module> load(const std::string& path);
    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    CK_FUNCTION_LIST* functions() const { return functions_; }
    const std::string& path() const { return path_; }

    // A login is the application's, not the session's: every session of a
    // token shares it and one C_Logout ends it for all. Sessions of this
    // process count their users so the last one logs out, not the first.
    // Raises like Pkcs11Session's constructor; true when the caller holds a
    // counted login to release with releaseLogin.
    // A PIN the token once refused is refused again here, for the life of
    // the process, without asking the token: a family of fonts signed with
    // one wrong PIN costs the token one try, not one per font. `token`
    // names the token (manufacturer, model, serial, label).
    bool login(CK_SESSION_HANDLE session, CK_SLOT_ID slot, const std::string& token,
               const uint8_t* pin, size_t pinLength);
    void releaseLogin(CK_SESSION_HANDLE session, CK_SLOT_ID slot);

private:
    Pkcs11Module() = default;
    std::string path_;
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool finalize_ = false;  // only a module this object initialised
    std::mutex loginMutex_;
    std::map<CK_SLOT_ID, int> loginUsers_;  // logins of ours still in use, per slot
};

// A session on the first token matching a URI, logged in as the user when
// a PIN is given (once: a refused PIN is never tried again, tokens lock).
class Pkcs11Session {
public:
    // Raises kErrTokenNotFound, kErrTokenPin, kErrTokenPinLocked, kErrTokenFailure.
    Pkcs11Session(std::shared_ptr<Pkcs11Module> module, const TokenKeyUri& uri, const uint8_t* pin,
                  size_t pinLength);
    ~Pkcs11Session();
    Pkcs11Session(const Pkcs11Session&) = delete;
    Pkcs11Session& operator=(const Pkcs11Session&) = delete;

    // The first object of `objectClass` with the given CKA_ID and CKA_LABEL
    // (each when non-null); false when there is none.
    bool findObject(CK_OBJECT_CLASS objectClass, const std::vector<uint8_t>* id,
                    const std::string* label, CK_OBJECT_HANDLE& out);
    // An attribute's value; false when the object does not reveal it.
    bool attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& out);
    // CKM_RSA_PKCS over `data`; `pin` repeats the login for a key that asks
    // for it before every signature. False when the token refuses.
    bool signRsaPkcs(CK_OBJECT_HANDLE key, bool alwaysAuthenticate, const uint8_t* data,
                     size_t length, const uint8_t* pin, size_t pinLength,
                     std::vector<uint8_t>& signature);

private:
    std::shared_ptr<Pkcs11Module> module_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_SLOT_ID slot_ = 0;
    bool loggedIn_ = false;  // only a login of our own is undone
    std::mutex mutex_;       // one operation at a time on the session
};

}  // namespace fontseal
