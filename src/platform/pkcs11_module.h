// SPDX-License-Identifier: Apache-2.0
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
    // The named PIN source (FONTSEAL_PIN_SOURCE) cannot be read; the token
    // was not asked.
    kErrTokenPinSource = -5848,
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

// An initialised token as the module describes it.
struct Pkcs11Token {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    std::string label;
    std::string manufacturer;
    std::string model;
    std::string serial;
};

// True when `token` is one the URI's token attributes allow.
bool token_matches(const TokenKeyUri& uri, const Pkcs11Token& token);

// One loaded module, shared by every session of the process that uses the
// same path, so that one caller never finalises it under another.
class Pkcs11Module : public std::enable_shared_from_this<Pkcs11Module> {
public:
    // The module at `path`; empty: FONTSEAL_PKCS11_MODULE, else the p11-kit
    // proxy. Raises kErrTokenModule.
    static std::shared_ptr<Pkcs11Module> load(const std::string& path);
    // True when FONTSEAL_PKCS11_MODULE names the module, so that failing to
    // load it is the user's configuration failing, not a missing proxy.
    static bool configured();
    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    CK_FUNCTION_LIST* functions() const { return functions_; }
    const std::string& path() const { return path_; }

    // Every slot holding an initialised token, in the module's order.
    std::vector<Pkcs11Token> tokens();

    // Logs the application in to `token` through `session`, asking for the
    // PIN (platform/pin_source.h) only when no login is held. A login is
    // the application's, not the session's, and the platform's drivers keep
    // it for the process: so does this, through a session of its own, so a
    // family of fonts costs the token one login. A PIN the call gives must
    // be the one that logged in. A PIN the token once refused is refused
    // again here without asking the token: tokens lock after a few wrong
    // tries. Raises kErrTokenPin, kErrTokenPinLocked, kErrTokenFailure.
    void login(CK_SESSION_HANDLE session, const Pkcs11Token& token);

    // Ends every login this process holds and lets the modules go; signing
    // calls still running lose their logins.
    static void releaseLogins();

private:
    Pkcs11Module() = default;
    std::string path_;
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool finalize_ = false;  // only a module this object initialised
    struct HeldLogin {
        CK_SESSION_HANDLE keeper;
        std::string pinDigest;
    };
    std::mutex loginMutex_;
    std::map<CK_SLOT_ID, HeldLogin> held_;
};

// A session on the first initialised token a URI matches, not logged in.
class Pkcs11Session {
public:
    // Raises kErrTokenNotFound, kErrTokenPinLocked, kErrTokenFailure.
    Pkcs11Session(std::shared_ptr<Pkcs11Module> module, const TokenKeyUri& uri);
    // A session on `token`, one of module->tokens().
    Pkcs11Session(std::shared_ptr<Pkcs11Module> module, const Pkcs11Token& token);
    ~Pkcs11Session();
    Pkcs11Session(const Pkcs11Session&) = delete;
    Pkcs11Session& operator=(const Pkcs11Session&) = delete;

    const Pkcs11Token& token() const { return token_; }
    // True when the token's private objects can be seen: it asks for no
    // login, or the application is logged in.
    bool privateObjectsVisible();
    // Logs in when the token asks for it (see Pkcs11Module::login).
    void login();

    // The first object of `objectClass` with the given CKA_ID and CKA_LABEL
    // (each when non-null); false when there is none.
    bool findObject(CK_OBJECT_CLASS objectClass, const std::vector<uint8_t>* id,
                    const std::string* label, CK_OBJECT_HANDLE& out);
    // Every object of `objectClass`, in the token's order.
    std::vector<CK_OBJECT_HANDLE> findObjects(CK_OBJECT_CLASS objectClass);
    // An attribute's value; false when the object does not reveal it.
    bool attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& out);
    // CKM_RSA_PKCS over `data`. A key that asks for the PIN before every
    // signature gets it from the PIN sources, once. False when the token
    // refuses.
    bool signRsaPkcs(CK_OBJECT_HANDLE key, bool alwaysAuthenticate, const uint8_t* data,
                     size_t length, std::vector<uint8_t>& signature);

private:
    void open();

    std::shared_ptr<Pkcs11Module> module_;
    Pkcs11Token token_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    std::mutex mutex_;  // one operation at a time on the session
};

// The text of a pkcs11: URI naming the private key with CKA_ID `id` on
// `token`, with every attribute percent-encoded.
std::string token_key_uri(const Pkcs11Token& token, const std::vector<uint8_t>& id);

}  // namespace fontseal
