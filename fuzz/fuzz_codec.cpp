// SPDX-License-Identifier: Apache-2.0
// Base64 and MIME: the decoding sources over 8- and 16-bit text, the MIME
// reader over a whole part, and the MIME writer's output read back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory_stream.h"
#include "codec/base64_source.h"
#include "codec/mime_base64_reader.h"
#include "codec/mime_base64_writer.h"
#include "fuzz_support.h"

using namespace fontseal;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes drainSingly(ByteSource& source) {
    Bytes out;
    uint8_t byte = 0;
    while (!source.atEnd()) {
        source.read(&byte, 1);
        out.push_back(byte);
    }
    return out;
}

void checkReadPastEnd(ByteSource& source) {
    FUZZ_CHECK(source.atEnd());
    uint8_t byte = 0;
    try {
        source.read(&byte, 1);
    } catch (const error& e) {
        FUZZ_CHECK(e.code == kErrReadPastEnd);
        return;
    }
    FUZZ_CHECK(!"a read past the end succeeded");
}

void checkSources(const uint8_t* data, size_t size) {
    MemoryStream narrowText(data, int(size));
    Base64Source narrow(narrowText);
    const Bytes bytes = drainSingly(narrow);
    FUZZ_CHECK(bytes.size() <= size / 4 * 3);
    checkReadPastEnd(narrow);

    // The same characters as 16-bit units decode to the same bytes.
    Bytes wideText;
    wideText.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        wideText.push_back(data[i]);
        wideText.push_back(0);
    }
    MemoryStream wideIn(wideText.data(), int(wideText.size()));
    WideBase64Source wide(wideIn);
    FUZZ_CHECK(drainSingly(wide) == bytes);

    // Reads of any size see the same bytes, and the end is enforced.
    MemoryStream chunkText(data, int(size));
    Base64Source chunked(chunkText);
    size_t done = 0;
    for (size_t k = 0; done < bytes.size(); ++k) {
        FUZZ_CHECK(!chunked.atEnd());
        const size_t want = std::min<size_t>(1 + (k * 5 + size) % 300, bytes.size() - done);
        Bytes piece(want);
        chunked.read(piece.data(), int(want));
        FUZZ_CHECK(std::equal(piece.begin(), piece.end(), bytes.begin() + long(done)));
        done += want;
    }
    checkReadPastEnd(chunked);

    // The input itself as 16-bit text, odd lengths and surrogates included.
    MemoryStream rawWide(data, int(size));
    WideBase64Source anyWide(rawWide);
    FUZZ_CHECK(drainSingly(anyWide).size() <= size / 8 * 3);
}

void checkMimeReader(const uint8_t* data, size_t size) {
    // Exactly sized, so a read past the terminating NUL is caught.
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';
    uint8_t* out = nullptr;
    const int count = decode_mime_base64(text.get(), &out);
    std::unique_ptr<uint8_t, decltype(&std::free)> owned(out, &std::free);
    FUZZ_CHECK(count >= 0);
    FUZZ_CHECK((out != nullptr) == (count > 0));
    FUZZ_CHECK(size_t(count) <= size / 4 * 3 + 2);
}

void checkWriterRoundTrip(const uint8_t* data, size_t size) {
    // The first bytes, made printable, name the part.
    std::string name;
    for (size_t i = 0; i < size && i < 24; ++i) name += char(' ' + data[i] % 95);
    MimeBase64Writer writer(data, int(size), size % 2 ? name.c_str() : nullptr);
    std::string text;
    while (const char* line = writer.nextLine()) {
        text += line;
        text += "\r\n";
    }
    std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
    std::memcpy(buffer.get(), text.data(), text.size() + 1);
    uint8_t* out = nullptr;
    const int count = decode_mime_base64(buffer.get(), &out);
    std::unique_ptr<uint8_t, decltype(&std::free)> owned(out, &std::free);
    FUZZ_CHECK(size_t(count) == size);
    FUZZ_CHECK(size == 0 || std::memcmp(out, data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x3FFFFFFF) return 0;
    checkSources(data, size);
    checkMimeReader(data, size);
    checkWriterRoundTrip(data, size);
    return 0;
}
