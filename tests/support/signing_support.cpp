#define OPENSSL_SUPPRESS_DEPRECATED
#include "support/signing_support.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

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

RSA* readPemKey(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) throw std::runtime_error("cannot open " + path);
    RSA* key = PEM_read_RSAPrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!key) throw std::runtime_error("no RSA key in " + path);
    return key;
}

void writePublicKey(const RSA* key, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) throw std::runtime_error("cannot create " + path);
    int ok = PEM_write_RSA_PUBKEY(file, key);
    std::fclose(file);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

RSA* makeSmallKey(int bits) {
    std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
    for (int attempt = 0; attempt < 100; ++attempt) {
        Bn p(BN_new()), q(BN_new()), n(BN_new()), e(BN_new()), d(BN_new());
        Bn p1(BN_new()), q1(BN_new()), phi(BN_new()), dp(BN_new()), dq(BN_new()), qinv(BN_new());
        BN_set_word(e.get(), 65537);
        // Primes with their top two bits set, so n has exactly `bits` bits.
        if (!BN_generate_prime_ex(p.get(), bits / 2, 0, nullptr, nullptr, nullptr) ||
            !BN_generate_prime_ex(q.get(), bits - bits / 2, 0, nullptr, nullptr, nullptr)) {
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
        RSA* key = RSA_new();
        RSA_set0_key(key, n.release(), e.release(), d.release());
        RSA_set0_factors(key, p.release(), q.release());
        RSA_set0_crt_params(key, dp.release(), dq.release(), qinv.release());
        return key;
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
