// SPDX-License-Identifier: Apache-2.0
#include "support/cert_support.h"

#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

std::string quote(const std::string& s) { return "'" + s + "'"; }

void mustRun(const std::string& command) {
    std::string out;
    if (run(command + " 2>&1", &out) != 0)
        throw std::runtime_error("command failed: " + command + "\n" + out);
}

// Reads the certificate with python's cryptography package and prints each
// field as name=hex. Integers are turned into the minimal two's-complement
// content octets of their DER encoding.
const char* kFactsScript = R"PY(
import sys
from cryptography import x509
from cryptography.hazmat.primitives import serialization

def content(n):
    return n.to_bytes((n.bit_length() + 8) // 8, 'big')

def der_int(n):
    c = content(n)
    assert len(c) < 128
    return bytes([2, len(c)]) + c

cert = x509.load_pem_x509_certificate(open(sys.argv[1], 'rb').read())
nums = cert.public_key().public_numbers()
print('der=' + cert.public_bytes(serialization.Encoding.DER).hex())
print('issuer=' + cert.issuer.public_bytes().hex())
print('serial=' + der_int(cert.serial_number).hex())
print('modulus=' + content(nums.n)[::-1].hex())
print('exponent=' + content(nums.e)[::-1].hex())
try:
    exts = [e.oid.dotted_string for e in cert.extensions]
except x509.ExtensionNotFound:
    exts = []
print('extensions=' + ','.join(exts))
)PY";

}  // namespace

TestCert makeCertificate(const TempDir& dir, const std::string& name, const CertOptions& options) {
    const std::string key = dir.file(name + ".key");
    const std::string csr = dir.file(name + ".csr");
    TestCert cert{dir.file(name + ".pem"), dir.file(name + ".der"), key};
    if (options.dsa) {
        const std::string params = dir.file(name + ".dsaparam");
        mustRun("openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out " +
                quote(params));
        mustRun("openssl genpkey -paramfile " + quote(params) + " -out " + quote(key));
    } else {
        mustRun("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" +
                std::to_string(options.keyBits) +
                " -pkeyopt rsa_keygen_pubexp:" + options.exponent + " -out " + quote(key));
    }
    mustRun("openssl req -new -key " + quote(key) + " -subj " + quote(options.subject) + " -out " +
            quote(csr));
    std::string command = "openssl x509 -req -in " + quote(csr) + " -days 30 -set_serial " +
                          options.serial + " -out " + quote(cert.pem);
    if (options.caPem.empty())
        command += " -signkey " + quote(key);
    else
        command += " -CA " + quote(options.caPem) + " -CAkey " + quote(options.caKey);
    if (!options.extensions.empty()) {
        const std::string cnf = dir.file(name + ".ext.cnf");
        writeText(cnf, "[ext]\n" + options.extensions + "\n");
        command += " -extfile " + quote(cnf) + " -extensions ext";
    }
    mustRun(command);
    mustRun("openssl x509 -in " + quote(cert.pem) + " -outform DER -out " + quote(cert.der));
    return cert;
}

std::string makeBundle(const TempDir& dir, const std::string& name,
                       const std::vector<std::string>& pems, bool der) {
    const std::string out = dir.file(name);
    std::string command = "openssl crl2pkcs7 -nocrl";
    for (const std::string& pem : pems) command += " -certfile " + quote(pem);
    command += std::string(" -outform ") + (der ? "DER" : "PEM") + " -out " + quote(out);
    mustRun(command);
    return out;
}

CertFacts certFacts(const TempDir& dir, const std::string& pemPath) {
    const std::string script = dir.file("cert_facts.py");
    writeText(script, kFactsScript);
    std::string out;
    if (run("/usr/bin/python3 " + quote(script) + " " + quote(pemPath), &out) != 0)
        throw std::runtime_error("python could not read " + pemPath);
    CertFacts facts;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        if (key == "extensions") {
            std::istringstream oids(line.substr(eq + 1));
            std::string oid;
            while (std::getline(oids, oid, ',')) facts.extensions.push_back(oid);
            continue;
        }
        const std::vector<uint8_t> value = unhex(line.substr(eq + 1));
        if (key == "der")
            facts.der = value;
        else if (key == "issuer")
            facts.issuer = value;
        else if (key == "serial")
            facts.serial = value;
        else if (key == "modulus")
            facts.modulusLe = value;
        else if (key == "exponent")
            facts.exponentLe = value;
    }
    if (facts.der.empty()) throw std::runtime_error("no facts for " + pemPath);
    return facts;
}

std::string pemBody(const std::string& pemPath) {
    const std::vector<uint8_t> bytes = readFile(pemPath);
    std::istringstream lines(std::string(bytes.begin(), bytes.end()));
    std::string line, body;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.compare(0, 5, "-----") == 0) continue;
        body += line + "\n";
    }
    return body;
}

Bytes tlv(uint8_t identifier, const Bytes& content) {
    Bytes out{identifier};
    const size_t n = content.size();
    if (n < 128) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        Bytes len;
        for (size_t v = n; v; v >>= 8) len.insert(len.begin(), static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

namespace {
// Header size and content length of the element at `at`.
void parseHeader(const Bytes& bytes, size_t at, size_t& headerSize, size_t& length) {
    if (at + 2 > bytes.size()) throw std::runtime_error("truncated element");
    const uint8_t first = bytes[at + 1];
    if (first < 0x80) {
        headerSize = 2;
        length = first;
    } else {
        const size_t n = first & 0x7F;
        if (n == 0 || n > 4 || at + 2 + n > bytes.size()) throw std::runtime_error("bad length");
        length = 0;
        for (size_t i = 0; i < n; ++i) length = length << 8 | bytes[at + 2 + i];
        headerSize = 2 + n;
    }
    if (at + headerSize + length > bytes.size()) throw std::runtime_error("element overruns");
}
}  // namespace

Bytes contentOf(const Bytes& element) {
    size_t header, length;
    parseHeader(element, 0, header, length);
    return Bytes(element.begin() + header, element.begin() + header + length);
}

std::vector<Bytes> splitElements(const Bytes& content) {
    std::vector<Bytes> out;
    for (size_t at = 0; at < content.size();) {
        size_t header, length;
        parseHeader(content, at, header, length);
        out.emplace_back(content.begin() + at, content.begin() + at + header + length);
        at += header + length;
    }
    return out;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> toUtf16Le(const std::string& text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text) {
        out.push_back(c);
        out.push_back(0);
    }
    return out;
}

}  // namespace testsupport
