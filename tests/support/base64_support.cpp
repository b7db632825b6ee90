// SPDX-License-Identifier: Apache-2.0
#include "support/base64_support.h"

#include <random>
#include <stdexcept>

#include "support/test_support.h"

namespace testsupport {

namespace {

const char kEncodeScript[] = R"PY(
import base64, subprocess, sys
d, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    data = open(f'{d}/d{i}', 'rb').read()
    one = base64.b64encode(data)
    def lines(width, sep):
        return sep.join(one[j:j + width] for j in range(0, len(one), width))
    mime = base64.encodebytes(data)
    out = {
        'one': one,
        'mime': mime,
        'pem': lines(64, b'\r\n') + (b'\r\n' if one else b''),
        'l72': lines(72, b'\r\n'),
        'wide': mime.decode('ascii').encode('utf-16-le'),
        'bom': mime.decode('ascii').encode('utf-16'),
    }
    for key, value in out.items():
        open(f'{d}/{key}{i}', 'wb').write(value)
    subprocess.run(['openssl', 'base64', '-e', '-in', f'{d}/d{i}', '-out', f'{d}/ossl{i}'],
                   check=True)
)PY";

std::string readText(const std::string& path) {
    std::vector<uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

std::vector<uint8_t> randomBytes(size_t length, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

std::vector<size_t> base64TestLengths() {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 130; ++n) lengths.push_back(n);
    for (size_t n : {189, 190, 191, 192, 193, 194, 195, 253,  254,  255,   256,   257,   258,
                     383, 384, 385, 500, 767, 768, 769, 1000, 4096, 16383, 16384, 16385, 70001})
        lengths.push_back(n);
    return lengths;
}

std::vector<Base64Reference> base64References(const std::vector<std::vector<uint8_t>>& blobs) {
    TempDir dir;
    for (size_t i = 0; i < blobs.size(); ++i)
        writeFile(dir.file("d" + std::to_string(i)), blobs[i]);
    writeText(dir.file("encode.py"), kEncodeScript);
    std::string command = "/usr/bin/python3 '" + dir.file("encode.py") + "' '" + dir.path() + "' " +
                          std::to_string(blobs.size());
    if (run(command) != 0) throw std::runtime_error("reference encoder failed");
    std::vector<Base64Reference> refs(blobs.size());
    for (size_t i = 0; i < blobs.size(); ++i) {
        std::string n = std::to_string(i);
        Base64Reference& r = refs[i];
        r.data = blobs[i];
        r.oneLine = readText(dir.file("one" + n));
        r.mime = readText(dir.file("mime" + n));
        r.pemCrlf = readText(dir.file("pem" + n));
        r.lines72 = readText(dir.file("l72" + n));
        r.openssl = readText(dir.file("ossl" + n));
        r.wide = readFile(dir.file("wide" + n));
        r.wideBom = readFile(dir.file("bom" + n));
    }
    return refs;
}

}  // namespace testsupport
