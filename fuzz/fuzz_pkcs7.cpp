// SPDX-License-Identifier: Apache-2.0
// SignedData decoding and re-encoding: the whole ContentInfo, and its parts
// (a ContentInfo, a SignerInfo) on their own.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/der_errors.h"
#include "der/der_reader.h"
#include "fuzz_support.h"
#include "pkcs7/p7_content_info.h"
#include "pkcs7/p7_read_signer_info.h"
#include "pkcs7/p7_signed_data.h"

using namespace fontseal;

namespace {

using Bytes = std::vector<uint8_t>;

// Encodes `value` twice (size pass, write pass), which must agree. Values
// read from input need not be writable (an OID with a first arc above 2
// reads but cannot be written): empty result then.
Bytes encode(DerValue& value) {
    int size = 0;
    MemoryStream out;
    try {
        size = value.encode(nullptr);
        FUZZ_CHECK(value.encode(&out) == size);
    } catch (const error& e) {
        FUZZ_CHECK(e.code == kErrBadOid);
        return Bytes();
    }
    FUZZ_CHECK(out.position() == size);
    return Bytes(out.data(), out.data() + out.position());
}

template <class Value>
bool decode(ByteSource& source, Value& value) {
    DerReader reader(source);
    return value.decodeFrom(reader);
}

// A value that was read and written once is written the same way after
// being read back.
template <class Value>
void checkRoundTrip(const uint8_t* data, size_t size) {
    MemoryStream in(data, int(size));
    Value value;
    if (!decode(in, value)) return;
    const Bytes once = encode(value);
    if (once.empty()) return;
    MemoryStream again(once.data(), int(once.size()));
    Value second;
    FUZZ_CHECK(decode(again, second));
    FUZZ_CHECK(encode(second) == once);
}

void checkSignedData(const uint8_t* data, size_t size) {
    MemoryStream sized(data, int(size));
    P7SignedData known;
    const bool ok = decode(sized, known);

    // Over a source that cannot tell its size the decoder may notice less
    // (a SignedData without certificates is not read to its end, so its
    // truncation goes unseen), but never refuses what the sized one accepts,
    // and finds the same members.
    fuzz::UnsizedSource unsized(data, size);
    P7SignedData blind;
    const bool blindOk = decode(unsized, blind);
    FUZZ_CHECK(!ok || blindOk);
    if (!ok) return;
    FUZZ_CHECK(known.certificates().count() == blind.certificates().count());
    FUZZ_CHECK(known.signerInfos().count() == blind.signerInfos().count());

    for (const SharedRef<DerValue>& member : known.certificates())
        FUZZ_CHECK(member && member->typeCode() == kTypeCertificate);
    for (const SharedRef<DerValue>& member : known.signerInfos())
        FUZZ_CHECK(member && member->typeCode() == kTypeReadSignerInfo);

    const Bytes once = encode(known);
    if (once.empty()) return;
    MemoryStream again(once.data(), int(once.size()));
    P7SignedData second;
    FUZZ_CHECK(decode(again, second));
    FUZZ_CHECK(second.certificates().count() == known.certificates().count());
    FUZZ_CHECK(second.signerInfos().count() == known.signerInfos().count());
    FUZZ_CHECK(encode(second) == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF) return 0;
    checkSignedData(data, size);
    checkRoundTrip<P7ContentInfo>(data, size);
    checkRoundTrip<P7ReadSignerInfo>(data, size);
    return 0;
}
