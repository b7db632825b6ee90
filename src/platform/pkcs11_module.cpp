// SPDX-License-Identifier: Apache-2.0
#include "platform/pkcs11_module.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "base/error.h"
#include "platform/pin_source.h"
#include "platform/regular_file.h"

namespace fontseal {

namespace {

constexpr const char kUriScheme[] = "pkcs11:";
constexpr const char kProxyModule[] = "p11-kit-proxy.so";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

// Splits "a=b;c=d" (or '&' in a query) into decoded pairs.
bool split_attributes(const std::string& text, char separator,
                      std::map<std::string, std::string>& out) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (!part.empty()) {
            const size_t equals = part.find('=');
            if (equals == std::string::npos) return false;
            std::string value;
            if (!percent_decode(part.substr(equals + 1), value)) return false;
            // A name given twice is ambiguous.
            if (!out.emplace(part.substr(0, equals), value).second) return false;
        }
        start = end + 1;
    }
    return true;
}

// A token-info field: fixed width, padded with blanks.
std::string padded_text(const unsigned char* field, size_t width) {
    size_t length = width;
    while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == 0)) --length;
    return std::string(reinterpret_cast<const char*>(field), length);
}

// A PIN is remembered only by its SHA-256, never itself.
std::string pin_digest(const SecureBytes& pin) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const uint8_t none = 0;
    if (!EVP_Digest(pin.empty() ? &none : pin.data(), pin.size(), digest, &length, EVP_sha256(),
                    nullptr))
        throw error(kErrTokenFailure);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::mutex refusedMutex;
std::set<std::string> refusedPins;

}  // namespace

bool is_pkcs11_uri(const char* text) {
    return text && strncasecmp(text, kUriScheme, sizeof(kUriScheme) - 1) == 0;
}

bool parse_pkcs11_uri(const char* text, TokenKeyUri& out) {
    if (!is_pkcs11_uri(text)) return false;
    const std::string rest(text + sizeof(kUriScheme) - 1);
    const size_t question = rest.find('?');
    std::map<std::string, std::string> path, query;
    if (!split_attributes(rest.substr(0, question), ';', path)) return false;
    if (question != std::string::npos && !split_attributes(rest.substr(question + 1), '&', query))
        return false;
    for (const auto& [name, value] : path) {
        if (name == "token") {
            out.token = value;
        } else if (name == "manufacturer") {
            out.manufacturer = value;
        } else if (name == "model") {
            out.model = value;
        } else if (name == "serial") {
            out.serial = value;
        } else if (name == "object") {
            out.object = value;
        } else if (name == "id") {
            out.id.assign(value.begin(), value.end());
            out.hasId = true;
        } else if (name == "type") {
            // The key is what signs; a URI naming a certificate or public key
            // names no key.
            if (value != "private") return false;
        }
        // Other attributes (library-*, slot-*) narrow nothing we choose by.
    }
    auto module = query.find("module-path");
    if (module != query.end()) out.modulePath = module->second;
    return !out.object.empty() || out.hasId;
}

bool token_matches(const TokenKeyUri& uri, const Pkcs11Token& token) {
    auto matches = [](const std::string& wanted, const std::string& value) {
        return wanted.empty() || wanted == value;
    };
    return matches(uri.token, token.label) && matches(uri.manufacturer, token.manufacturer) &&
           matches(uri.model, token.model) && matches(uri.serial, token.serial);
}

std::string token_key_uri(const Pkcs11Token& token, const std::vector<uint8_t>& id) {
    static const char kHex[] = "0123456789ABCDEF";
    auto encode = [](const uint8_t* bytes, size_t length, bool all) {
        std::string out;
        for (size_t i = 0; i < length; ++i) {
            const uint8_t c = bytes[i];
            if (!all && (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')) {
                out.push_back(static_cast<char>(c));
            } else {
                out.push_back('%');
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 15]);
            }
        }
        return out;
    };
    auto text = [&](const std::string& value) {
        return encode(reinterpret_cast<const uint8_t*>(value.data()), value.size(), false);
    };
    return std::string(kUriScheme) + "manufacturer=" + text(token.manufacturer) +
           ";model=" + text(token.model) + ";serial=" + text(token.serial) +
           ";token=" + text(token.label) + ";id=" + encode(id.data(), id.size(), true) +
           ";type=private";
}

namespace {

// Modules holding a login, kept loaded until the logins are released. Never
// destroyed: at exit the modules' own clean-up may already have run.
std::mutex heldModulesMutex;
std::vector<std::shared_ptr<Pkcs11Module>>* heldModules = nullptr;

}  // namespace

bool Pkcs11Module::configured() {
    const char* path = std::getenv("FONTSEAL_PKCS11_MODULE");
    return path && *path;
}

namespace {

// The modules of the process by path. Loading and the last release of a
// module both hold the lock: a module finalised on one thread while another
// loads it again would be finalised under the second one's feet.
std::mutex registryMutex;
std::map<std::string, std::weak_ptr<Pkcs11Module>>& registry() {
    static auto* modules = new std::map<std::string, std::weak_ptr<Pkcs11Module>>();
    return *modules;
}

}  // namespace

// A module named by a path is loaded only if it is a regular file: the
// loader would wait forever on a FIFO. It is loaded through the descriptor
// that was checked, so the file cannot be swapped in between. A bare name
// is the loader's to search for.
static void* open_module(const std::string& path) {
    if (path.find('/') == std::string::npos) return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const int fd = open_regular_file(path.c_str());
    if (fd < 0) return nullptr;
    const std::string checked = "/proc/self/fd/" + std::to_string(fd);
    void* handle = dlopen(checked.c_str(), RTLD_NOW | RTLD_LOCAL);
    // Without /proc the path itself; it was a regular file a moment ago.
    if (!handle && ::access("/proc/self/fd", F_OK) != 0)
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ::close(fd);
    return handle;
}

std::shared_ptr<Pkcs11Module> Pkcs11Module::load(const std::string& requested) {
    std::string path = requested;
    if (path.empty()) path = configured() ? std::getenv("FONTSEAL_PKCS11_MODULE") : kProxyModule;
    std::lock_guard<std::mutex> lock(registryMutex);
    if (auto existing = registry()[path].lock()) return existing;

    // Owned plainly until it works: a failed load is undone under the lock.
    std::unique_ptr<Pkcs11Module> module(new Pkcs11Module());
    module->path_ = path;
    module->handle_ = open_module(path);
    if (!module->handle_) throw error(kErrTokenModule);
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(module->handle_, "C_GetFunctionList"));
    if (!getList || getList(&module->functions_) != CKR_OK || !module->functions_)
        throw error(kErrTokenModule);
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof(args));
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = module->functions_->C_Initialize(&args);
    if (rv == CKR_OK) {
        module->finalize_ = true;
    } else if (rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        // Someone else's initialisation is theirs to finalise.
        throw error(kErrTokenModule);
    }
    std::shared_ptr<Pkcs11Module> shared(module.release(), [](Pkcs11Module* gone) {
        std::lock_guard<std::mutex> lock(registryMutex);
        delete gone;
    });
    registry()[path] = shared;
    return shared;
}

Pkcs11Module::~Pkcs11Module() {
    if (finalize_ && functions_) functions_->C_Finalize(nullptr);
    if (handle_) dlclose(handle_);
}

std::vector<Pkcs11Token> Pkcs11Module::tokens() {
    CK_ULONG count = 0;
    if (functions_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK)
        throw error(kErrTokenFailure);
    std::vector<CK_SLOT_ID> slots(count);
    if (count > 0 && functions_->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
        throw error(kErrTokenFailure);
    slots.resize(count);
    std::vector<Pkcs11Token> out;
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info;
        // A token pulled out since the slot list was read is simply gone.
        if (functions_->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
        if (!(info.flags & CKF_TOKEN_INITIALIZED)) continue;
        Pkcs11Token token;
        token.slot = slot;
        token.flags = info.flags;
        token.label = padded_text(info.label, sizeof(info.label));
        token.manufacturer = padded_text(info.manufacturerID, sizeof(info.manufacturerID));
        token.model = padded_text(info.model, sizeof(info.model));
        token.serial = padded_text(info.serialNumber, sizeof(info.serialNumber));
        out.push_back(std::move(token));
    }
    return out;
}

void Pkcs11Module::login(CK_SESSION_HANDLE session, const Pkcs11Token& token) {
    std::lock_guard<std::mutex> lock(loginMutex_);
    auto held = held_.find(token.slot);
    if (held != held_.end()) {
        SecureBytes given;
        if (caller_pin(given) && pin_digest(given) != held->second.pinDigest)
            throw error(kErrTokenPin);
        return;
    }
    // A PIN pad takes the PIN itself.
    const bool pinPad = (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    SecureBytes pin;
    if (!pinPad && !token_pin(token.label, pin)) throw error(kErrTokenPin);
    // A refusal is remembered by module, token and the PIN's digest.
    const std::string digest = pin_digest(pin);
    const std::string refusal = path_ + '\0' + token.manufacturer + '\0' + token.model + '\0' +
                                token.serial + '\0' + token.label + '\0' + digest;
    {
        std::lock_guard<std::mutex> refusedLock(refusedMutex);
        if (!pinPad && refusedPins.count(refusal)) throw error(kErrTokenPin);
    }
    // One attempt only: a refused PIN is reported, never tried again.
    const CK_RV rv = functions_->C_Login(session, CKU_USER, pinPad ? nullptr : pin.data(),
                                         pinPad ? 0 : pin.size());
    if (rv == CKR_OK) {
        CK_SESSION_HANDLE keeper = CK_INVALID_HANDLE;
        if (functions_->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                      &keeper) != CKR_OK)
            return;  // the login then ends with the caller's session
        held_[token.slot] = {keeper, digest};
        std::lock_guard<std::mutex> heldLock(heldModulesMutex);
        if (!heldModules) heldModules = new std::vector<std::shared_ptr<Pkcs11Module>>();
        heldModules->push_back(shared_from_this());
        return;
    }
    // Logged in by someone else in this process: theirs to end.
    if (rv == CKR_USER_ALREADY_LOGGED_IN) return;
    if (rv == CKR_PIN_LOCKED) throw error(kErrTokenPinLocked);
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE ||
        rv == CKR_PIN_EXPIRED) {
        // A PIN-pad entry (no PIN of ours) is the user's to repeat.
        std::lock_guard<std::mutex> refusedLock(refusedMutex);
        if (!pinPad) refusedPins.insert(refusal);
        throw error(kErrTokenPin);
    }
    throw error(kErrTokenFailure);
}

void Pkcs11Module::releaseLogins() {
    std::vector<std::shared_ptr<Pkcs11Module>> modules;
    {
        std::lock_guard<std::mutex> lock(heldModulesMutex);
        if (heldModules) modules.swap(*heldModules);
    }
    for (const std::shared_ptr<Pkcs11Module>& module : modules) {
        std::lock_guard<std::mutex> lock(module->loginMutex_);
        for (const auto& [slot, login] : module->held_) {
            module->functions_->C_Logout(login.keeper);
            module->functions_->C_CloseSession(login.keeper);
        }
        module->held_.clear();
    }
}

Pkcs11Session::Pkcs11Session(std::shared_ptr<Pkcs11Module> module, const TokenKeyUri& uri)
    : module_(std::move(module)) {
    bool found = false;
    for (Pkcs11Token& token : module_->tokens()) {
        if (token_matches(uri, token)) {
            token_ = std::move(token);
            found = true;
            break;
        }
    }
    if (!found) throw error(kErrTokenNotFound);
    open();
}

Pkcs11Session::Pkcs11Session(std::shared_ptr<Pkcs11Module> module, const Pkcs11Token& token)
    : module_(std::move(module)), token_(token) {
    open();
}

void Pkcs11Session::open() {
    if (module_->functions()->C_OpenSession(token_.slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                            &session_) != CKR_OK) {
        session_ = CK_INVALID_HANDLE;
        throw error(kErrTokenFailure);
    }
}

Pkcs11Session::~Pkcs11Session() {
    if (session_ != CK_INVALID_HANDLE) module_->functions()->C_CloseSession(session_);
}

bool Pkcs11Session::privateObjectsVisible() {
    if (!(token_.flags & CKF_LOGIN_REQUIRED)) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    CK_SESSION_INFO info;
    return module_->functions()->C_GetSessionInfo(session_, &info) == CKR_OK &&
           (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
}

void Pkcs11Session::login() {
    if (!(token_.flags & CKF_LOGIN_REQUIRED)) return;
    if (token_.flags & CKF_USER_PIN_LOCKED) throw error(kErrTokenPinLocked);
    module_->login(session_, token_);
}

bool Pkcs11Session::findObject(CK_OBJECT_CLASS objectClass, const std::vector<uint8_t>* id,
                               const std::string* label, CK_OBJECT_HANDLE& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    CK_FUNCTION_LIST* f = module_->functions();
    CK_ATTRIBUTE filter[3];
    CK_ULONG count = 0;
    filter[count++] = {CKA_CLASS, &objectClass, sizeof(objectClass)};
    if (id) filter[count++] = {CKA_ID, const_cast<uint8_t*>(id->data()), id->size()};
    if (label) filter[count++] = {CKA_LABEL, const_cast<char*>(label->data()), label->size()};
    if (f->C_FindObjectsInit(session_, filter, count) != CKR_OK) return false;
    CK_ULONG found = 0;
    const CK_RV rv = f->C_FindObjects(session_, &out, 1, &found);
    f->C_FindObjectsFinal(session_);
    return rv == CKR_OK && found == 1;
}

std::vector<CK_OBJECT_HANDLE> Pkcs11Session::findObjects(CK_OBJECT_CLASS objectClass) {
    std::lock_guard<std::mutex> lock(mutex_);
    CK_FUNCTION_LIST* f = module_->functions();
    CK_ATTRIBUTE filter = {CKA_CLASS, &objectClass, sizeof(objectClass)};
    std::vector<CK_OBJECT_HANDLE> out;
    if (f->C_FindObjectsInit(session_, &filter, 1) != CKR_OK) return out;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG found = 0;
    while (f->C_FindObjects(session_, batch, 32, &found) == CKR_OK && found > 0)
        out.insert(out.end(), batch, batch + found);
    f->C_FindObjectsFinal(session_);
    return out;
}

bool Pkcs11Session::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                              std::vector<uint8_t>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    CK_FUNCTION_LIST* f = module_->functions();
    CK_ATTRIBUTE query = {type, nullptr, 0};
    if (f->C_GetAttributeValue(session_, object, &query, 1) != CKR_OK ||
        query.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return false;
    out.resize(query.ulValueLen);
    query.pValue = out.data();
    if (f->C_GetAttributeValue(session_, object, &query, 1) != CKR_OK) return false;
    out.resize(query.ulValueLen);
    return true;
}

bool Pkcs11Session::signRsaPkcs(CK_OBJECT_HANDLE key, bool alwaysAuthenticate, const uint8_t* data,
                                size_t length, std::vector<uint8_t>& signature) {
    SecureBytes pin;
    const bool pinPad = (token_.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    // Asked before the operation starts, so no prompt waits with one open.
    if (alwaysAuthenticate && !pinPad && !token_pin(token_.label, pin)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    CK_FUNCTION_LIST* f = module_->functions();
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    if (f->C_SignInit(session_, &mechanism, key) != CKR_OK) return false;
    if (alwaysAuthenticate) {
        // The key asks for the PIN again before each signature; a refusal
        // ends the operation, it is not retried.
        if (f->C_Login(session_, CKU_CONTEXT_SPECIFIC, pinPad ? nullptr : pin.data(),
                       pinPad ? 0 : pin.size()) != CKR_OK) {
            // The operation may stay open on the token; closing the session
            // ends it.
            return false;
        }
    }
    CK_ULONG size = signature.size();
    const CK_RV rv =
        f->C_Sign(session_, const_cast<uint8_t*>(data), length, signature.data(), &size);
    if (rv != CKR_OK || size > signature.size()) return false;
    signature.resize(size);
    return true;
}

}  // namespace fontseal
