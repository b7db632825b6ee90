// SPDX-License-Identifier: Apache-2.0
#include "support/signing_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace testsupport {
namespace {

std::string quote(const std::string& s) { return "'" + s + "'"; }

struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

}  // namespace

void openssl(const std::string& arguments) {
    std::string out;
    const std::string command = "openssl " + arguments + " 2>&1";
    if (run(command, &out) != 0) throw std::runtime_error("failed: " + command + "\n" + out);
}

TestPki::TestPki(const TempDir& d) : dir(d) {
    caKey = makeKey("ca", 2048);
    caPem = dir.file("ca.pem");
    const std::string cnf = dir.file("ca.cnf");
    writeText(cnf,
              "[req]\ndistinguished_name=dn\n[dn]\n[ext]\nbasicConstraints=critical,CA:"
              "TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
              "subjectKeyIdentifier=hash\n");
    openssl("req -new -x509 -key " + quote(caKey) + " -subj '/CN=fontseal test CA' -days 30 " +
            "-set_serial 1000 -config " + quote(cnf) + " -extensions ext -out " + quote(caPem));
}

std::string TestPki::makeKey(const std::string& name, int bits) const {
    const std::string path = dir.file(name + ".key");
    openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) + " -out " +
            quote(path));
    return path;
}

std::string TestPki::makeCert(const std::string& name, const std::string& keyPem, int serial,
                              const std::string& extensions, bool forcePublicKey) const {
    const std::string csr = dir.file(name + ".csr");
    const std::string pem = dir.file(name + ".pem");
    // A request needs a private key to sign it; a public-only key borrows the CA's.
    const std::string requestKey = forcePublicKey ? caKey : keyPem;
    openssl("req -new -key " + quote(requestKey) + " -subj " + quote("/CN=" + name) +
            " -config /dev/null -out " + quote(csr));
    std::string command = "x509 -req -in " + quote(csr) + " -days 30 -set_serial " +
                          std::to_string(serial) + " -CA " + quote(caPem) + " -CAkey " +
                          quote(caKey) + " -out " + quote(pem);
    if (forcePublicKey) command += " -force_pubkey " + quote(keyPem);
    if (!extensions.empty()) {
        const std::string cnf = dir.file(name + ".ext.cnf");
        writeText(cnf, "[ext]\n" + extensions + "\n");
        command += " -extfile " + quote(cnf) + " -extensions ext";
    }
    openssl(command);
    return pem;
}

EVP_PKEY* readPemKey(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) throw std::runtime_error("cannot open " + path);
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!key || !EVP_PKEY_is_a(key, "RSA")) {
        EVP_PKEY_free(key);
        throw std::runtime_error("no RSA key in " + path);
    }
    return key;
}

void writePublicKey(const EVP_PKEY* key, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) throw std::runtime_error("cannot create " + path);
    int ok = PEM_write_PUBKEY(file, key);
    std::fclose(file);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

namespace {

struct ParamBuildDeleter {
    void operator()(OSSL_PARAM_BLD* build) const { OSSL_PARAM_BLD_free(build); }
};
struct ParamsDeleter {
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};

// A key from named numbers; a private key when the private exponent is among them.
EVP_PKEY* keyFromParams(const std::vector<std::pair<const char*, const BIGNUM*>>& numbers) {
    std::unique_ptr<OSSL_PARAM_BLD, ParamBuildDeleter> build(OSSL_PARAM_BLD_new());
    bool isPrivate = false;
    for (const auto& number : numbers) {
        if (!OSSL_PARAM_BLD_push_BN(build.get(), number.first, number.second)) return nullptr;
        isPrivate |= std::string(number.first) == OSSL_PKEY_PARAM_RSA_D;
    }
    std::unique_ptr<OSSL_PARAM, ParamsDeleter> params(OSSL_PARAM_BLD_to_param(build.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> context(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
        EVP_PKEY_fromdata(context.get(), &key, isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params.get()) <= 0) {
        return nullptr;
    }
    return key;
}

}  // namespace

EVP_PKEY* rsaKeyFromNumbers(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d) {
    std::vector<std::pair<const char*, const BIGNUM*>> numbers = {{OSSL_PKEY_PARAM_RSA_N, n},
                                                                  {OSSL_PKEY_PARAM_RSA_E, e}};
    if (d) numbers.push_back({OSSL_PKEY_PARAM_RSA_D, d});
    return keyFromParams(numbers);
}

EVP_PKEY* makeSmallKey(int bits) {
    std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
    for (int attempt = 0; attempt < 100; ++attempt) {
        Bn p(BN_new()), q(BN_new()), n(BN_new()), e(BN_new()), d(BN_new());
        Bn p1(BN_new()), q1(BN_new()), phi(BN_new()), dp(BN_new()), dq(BN_new()), qinv(BN_new());
        BN_set_word(e.get(), 65537);
        // Primes with their top two bits set, so n has exactly `bits` bits.
        if (!BN_generate_prime_ex2(p.get(), bits / 2, 0, nullptr, nullptr, nullptr, ctx.get()) ||
            !BN_generate_prime_ex2(q.get(), bits - bits / 2, 0, nullptr, nullptr, nullptr,
                                   ctx.get())) {
            continue;
        }
        if (BN_cmp(p.get(), q.get()) == 0) continue;
        BN_mul(n.get(), p.get(), q.get(), ctx.get());
        if (BN_num_bits(n.get()) != bits) continue;
        BN_sub(p1.get(), p.get(), BN_value_one());
        BN_sub(q1.get(), q.get(), BN_value_one());
        BN_mul(phi.get(), p1.get(), q1.get(), ctx.get());
        if (!BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get())) continue;
        BN_mod(dp.get(), d.get(), p1.get(), ctx.get());
        BN_mod(dq.get(), d.get(), q1.get(), ctx.get());
        if (!BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get())) continue;
        EVP_PKEY* key = keyFromParams({{OSSL_PKEY_PARAM_RSA_N, n.get()},
                                       {OSSL_PKEY_PARAM_RSA_E, e.get()},
                                       {OSSL_PKEY_PARAM_RSA_D, d.get()},
                                       {OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()},
                                       {OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()},
                                       {OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()},
                                       {OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()},
                                       {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()}});
        if (key) return key;
    }
    throw std::runtime_error("no small key");
}

Asn1Tree::Asn1Tree(const std::string& path) : bytes_(readFile(path)) {
    std::string out;
    if (run("openssl asn1parse -inform DER -in " + quote(path), &out) != 0) {
        throw std::runtime_error("asn1parse failed on " + path + "\n" + out);
    }
    std::istringstream lines(out);
    std::string text;
    while (std::getline(lines, text)) {
        // "  OFFSET:d=DEPTH  hl=H l=  L cons|prim: TYPE   [:VALUE]"
        unsigned long offset = 0, header = 0, length = 0;
        int depth = 0, used = 0;
        char kind[5] = {0};
        if (std::sscanf(text.c_str(), " %lu:d=%d hl=%lu l=%lu %4[a-z]:%n", &offset, &depth, &header,
                        &length, kind, &used) != 5 ||
            (std::string(kind) != "cons" && std::string(kind) != "prim")) {
            throw std::runtime_error("asn1parse: " + text);
        }
        std::string rest = text.substr(static_cast<size_t>(used));
        std::string type = rest, value;
        auto colon = rest.find(':');
        if (colon != std::string::npos) {
            type = rest.substr(0, colon);
            value = rest.substr(colon + 1);
        }
        auto trim = [](std::string& t) {
            t.erase(0, t.find_first_not_of(" \t"));
            t.erase(t.find_last_not_of(" \t\r") + 1);
        };
        trim(type);
        Asn1Node node;
        node.offset = offset;
        node.depth = depth;
        node.header = header;
        node.length = length;
        node.constructed = std::string(kind) == "cons";
        node.type = type;
        // Octet strings that are not text come with a marker before the dump.
        const std::string dump = "[HEX DUMP]";
        if (node.type.size() > dump.size() &&
            node.type.compare(node.type.size() - dump.size(), dump.size(), dump) == 0) {
            node.type.erase(node.type.find_last_not_of(' ', node.type.size() - dump.size() - 1) +
                            1);
        }
        node.value = value;
        nodes_.push_back(node);
    }
}

std::vector<size_t> Asn1Tree::children(size_t parent) const {
    std::vector<size_t> result;
    const Asn1Node& p = nodes_.at(parent);
    for (size_t i = parent + 1; i < nodes_.size() && nodes_[i].offset < p.end(); ++i) {
        if (nodes_[i].depth == p.depth + 1) result.push_back(i);
    }
    return result;
}

size_t Asn1Tree::child(size_t parent, size_t k) const {
    std::vector<size_t> all = children(parent);
    if (k >= all.size()) {
        throw std::runtime_error("element at " + std::to_string(nodes_.at(parent).offset) +
                                 " has no child " + std::to_string(k));
    }
    return all[k];
}

Bytes Asn1Tree::element(size_t i) const {
    const Asn1Node& n = nodes_.at(i);
    return Bytes(bytes_.begin() + long(n.offset), bytes_.begin() + long(n.end()));
}

Bytes Asn1Tree::content(size_t i) const {
    const Asn1Node& n = nodes_.at(i);
    return Bytes(bytes_.begin() + long(n.offset + n.header), bytes_.begin() + long(n.end()));
}

Bytes opensslDigest(const TempDir& dir, const Bytes& data, const char* algorithm) {
    const std::string in = dir.file("digest.in");
    writeFile(in, data);
    std::string out;
    if (run(std::string("openssl dgst -") + algorithm + " -r " + quote(in), &out) != 0) {
        throw std::runtime_error("openssl dgst failed");
    }
    return unhex(out.substr(0, out.find(' ')));
}

}  // namespace testsupport
