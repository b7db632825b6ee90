// SPDX-License-Identifier: Apache-2.0
#include "two_step.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "fontseal/fontseal.h"
#include "signer_command.h"

namespace fontseal_cli {

namespace {

using nlohmann::json;

const char* statement_name(int32_t statement) {
    switch (statement) {
        case FONTSEAL_STATEMENT_INDIVIDUAL:
            return "individual";
        case FONTSEAL_STATEMENT_COMMERCIAL:
            return "commercial";
        default:
            return "auto";
    }
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct Pkcs7Free {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr first_of_bundle(PKCS7* bundle) {
    if (!bundle || !PKCS7_type_is_signed(bundle) || !bundle->d.sign ||
        sk_X509_num(bundle->d.sign->cert) <= 0)
        return nullptr;
    return X509Ptr(X509_dup(sk_X509_value(bundle->d.sign->cert, 0)));
}

X509Ptr first_certificate(const std::string& bytes) {
    auto bio = [&](const std::string& b) {
        return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(b.data(), static_cast<int>(b.size())));
    };
    {
        auto in = bio(bytes);
        if (X509Ptr cert{PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)}) return cert;
    }
    {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
        if (X509Ptr cert{d2i_X509(nullptr, &p, static_cast<long>(bytes.size()))}) return cert;
    }
    {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
        std::unique_ptr<PKCS7, Pkcs7Free> bundle(
            d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
        if (X509Ptr cert = first_of_bundle(bundle.get())) return cert;
    }
    {
        auto in = bio(bytes);
        std::unique_ptr<PKCS7, Pkcs7Free> bundle(
            PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
        if (X509Ptr cert = first_of_bundle(bundle.get())) return cert;
    }
    // Bare base64 of a DER certificate or bundle.
    std::vector<uint8_t> der = decode_signature(bytes);
    if (!der.empty() && std::string(der.begin(), der.end()) != bytes)
        return first_certificate(std::string(der.begin(), der.end()));
    return nullptr;
}

bool hex_field(const json& object, const char* name, std::string& out, std::string& error) {
    if (!object.contains(name) || !object[name].is_string()) {
        error = std::string("it has no ") + name;
        return false;
    }
    out = object[name].get<std::string>();
    if (out.empty() || out.size() % 2 ||
        out.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        error = std::string("its ") + name + " is not hexadecimal";
        return false;
    }
    return true;
}

}  // namespace

std::string to_hex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string file_name_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool read_file(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) return false;
    bytes = all.str();
    return true;
}

bool write_file_atomically(const std::string& path, const std::string& bytes, std::string& error) {
    std::string temp = path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool ok = done == bytes.size() && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok || ::rename(name.data(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
        ::unlink(name.data());
        return false;
    }
    return true;
}

bool file_sha256(const std::string& path, std::string& hex, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (!in || !context || !EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr)) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<char> chunk(1 << 16);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (in.gcount() > 0)
            EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (in.bad() || !EVP_DigestFinal_ex(context.get(), digest, &length)) {
        error = "cannot read " + path;
        return false;
    }
    hex = to_hex(digest, length);
    return true;
}

bool first_certificate_thumbprint(const std::string& path, std::string& hex, std::string& error) {
    std::string bytes;
    if (!read_file(path, bytes)) {
        error = "cannot open certificate file " + path;
        return false;
    }
    X509Ptr cert = first_certificate(bytes);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!cert || !X509_digest(cert.get(), EVP_sha1(), digest, &length)) {
        error = "no certificate could be read from " + path;
        return false;
    }
    hex = to_hex(digest, length);
    for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return true;
}

std::string request_to_json(const SigningRequest& r) {
    json out = {
        {"fontseal_signing_request", 1},
        {"fontseal_version", r.version},
        {"font", {{"path", r.fontPath}, {"sha256", r.fontSha256}}},
        {"certificate", {{"path", r.certPath}, {"sha1_thumbprint", r.certThumbprint}}},
        {"digest_algorithm", hash_name(r.digest)},
        {"signed_attributes",
         {{"statement", statement_name(r.statement)},
          {"program_name", r.hasProgramName ? json(r.programName) : json(nullptr)},
          {"info_url", r.hasInfoUrl ? json(r.infoUrl) : json(nullptr)}}},
        {"digest", r.digestHex},
        {"digest_info", r.digestInfoHex},
    };
    return out.dump(2) + "\n";
}

bool request_from_json(const std::string& text, SigningRequest& r, std::string& error) {
    json in = json::parse(text, nullptr, false);
    if (in.is_discarded() || !in.is_object()) {
        error = "it is not JSON";
        return false;
    }
    if (!in.contains("fontseal_signing_request") || in["fontseal_signing_request"] != 1) {
        error = "it is not a fontseal signing request";
        return false;
    }
    try {
        r.version = in.at("fontseal_version").get<std::string>();
        r.fontPath = in.at("font").at("path").get<std::string>();
        r.fontSha256 = in.at("font").at("sha256").get<std::string>();
        r.certPath = in.at("certificate").at("path").get<std::string>();
        r.certThumbprint = in.at("certificate").at("sha1_thumbprint").get<std::string>();
        const std::string digest = in.at("digest_algorithm").get<std::string>();
        r.digest = 0;
        for (int32_t h : {FONTSEAL_HASH_SHA256, FONTSEAL_HASH_SHA384, FONTSEAL_HASH_SHA512,
                          FONTSEAL_HASH_SHA1, FONTSEAL_HASH_MD5})
            if (digest == hash_name(h)) r.digest = h;
        if (!r.digest) {
            error = "its digest_algorithm " + digest + " is unknown";
            return false;
        }
        const json& attributes = in.at("signed_attributes");
        const std::string statement = attributes.at("statement").get<std::string>();
        r.statement = -1;
        for (int32_t s : {FONTSEAL_STATEMENT_AUTO, FONTSEAL_STATEMENT_INDIVIDUAL,
                          FONTSEAL_STATEMENT_COMMERCIAL})
            if (statement == statement_name(s)) r.statement = s;
        if (r.statement < 0) {
            error = "its statement " + statement + " is unknown";
            return false;
        }
        r.hasProgramName = !attributes.at("program_name").is_null();
        if (r.hasProgramName) r.programName = attributes.at("program_name").get<std::string>();
        r.hasInfoUrl = !attributes.at("info_url").is_null();
        if (r.hasInfoUrl) r.infoUrl = attributes.at("info_url").get<std::string>();
    } catch (const json::exception& e) {
        error = std::string("a field is missing or of the wrong type (") + e.what() + ")";
        return false;
    }
    return hex_field(in, "digest", r.digestHex, error) &&
           hex_field(in, "digest_info", r.digestInfoHex, error);
}

}  // namespace fontseal_cli
