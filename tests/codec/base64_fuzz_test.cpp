// SPDX-License-Identifier: Apache-2.0
// Random and mutated base64 and MIME texts through the decoders, under the
// address, undefined-behaviour and leak sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/base64_source.h"
#include "codec/mime_base64_reader.h"
#include "codec/mime_base64_writer.h"
#include "base/error.h"
#include "base/memory_stream.h"

namespace fontseal {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string randomText(std::mt19937& rng, size_t length) {
    static const char kOther[] = "= \t\r\n-*:;.\0\x80\xFF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        unsigned pick = rng() % 100;
        if (pick < 85)
            text += kAlphabet[rng() % 64];
        else if (pick < 98)
            text += kOther[rng() % (sizeof kOther - 1)];
        else
            text += static_cast<char>(rng());
    }
    return text;
}

std::string encode(const std::vector<uint8_t>& data, const char* name, bool headers) {
    MimeBase64Writer writer(data.data(), static_cast<int>(data.size()), name);
    if (!headers) writer.setLineCount(3);
    std::string text;
    while (const char* line = writer.nextLine()) text += std::string(line) + "\r\n";
    return text;
}

void mutate(std::mt19937& rng, std::string& text) {
    if (text.empty()) return;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && !text.empty(); ++i) {
        size_t at = rng() % text.size();
        switch (rng() % 4) {
            case 0:
                text[at] = static_cast<char>(rng());
                break;
            case 1:
                text.erase(at, 1 + rng() % 8);
                break;
            case 2:
                text.insert(at, randomText(rng, 1 + rng() % 8));
                break;
            default:
                text.resize(at);
                break;
        }
    }
}

// Reads the expected bytes back in runs of random sizes, then checks that
// the end is reported and enforced.
void checkChunked(std::mt19937& rng, ByteSource& source, const std::vector<uint8_t>& expected) {
    size_t done = 0;
    while (done < expected.size()) {
        ASSERT_FALSE(source.atEnd());
        size_t want = std::min<size_t>(1 + rng() % 7, expected.size() - done);
        std::vector<uint8_t> chunk(want);
        source.read(chunk.data(), static_cast<int>(want));
        ASSERT_TRUE(std::equal(chunk.begin(), chunk.end(), expected.begin() + done));
        done += want;
    }
    EXPECT_TRUE(source.atEnd());
    uint8_t b;
    try {
        source.read(&b, 1);
        ADD_FAILURE() << "read past the end succeeded";
    } catch (const error& e) {
        EXPECT_EQ(e.code, kErrReadPastEnd);
    }
}

std::vector<uint8_t> drainSingly(ByteSource& source) {
    std::vector<uint8_t> out;
    uint8_t b;
    while (!source.atEnd()) {
        source.read(&b, 1);
        out.push_back(b);
    }
    return out;
}

TEST(Base64Fuzz, SourcesAgreeOnRandomText) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string text = randomText(rng, rng() % 700);
        if (round % 3 == 0) {
            std::vector<uint8_t> data(rng() % 400);
            for (auto& b : data) b = static_cast<uint8_t>(rng());
            text = encode(data, nullptr, false);
            mutate(rng, text);
        }
        MemoryStream narrowIn(reinterpret_cast<const uint8_t*>(text.data()),
                              static_cast<int>(text.size()));
        Base64Source narrow(narrowIn);
        std::vector<uint8_t> bytes = drainSingly(narrow);
        EXPECT_LE(bytes.size(), text.size() / 4 * 3);

        std::vector<uint8_t> wideText;
        for (char c : text) {
            wideText.push_back(static_cast<uint8_t>(c));
            wideText.push_back(0);
        }
        MemoryStream wideIn(wideText.data(), static_cast<int>(wideText.size()));
        WideBase64Source wide(wideIn);
        ASSERT_EQ(drainSingly(wide), bytes) << "round " << round;

        MemoryStream chunkIn(reinterpret_cast<const uint8_t*>(text.data()),
                             static_cast<int>(text.size()));
        Base64Source chunked(chunkIn);
        checkChunked(rng, chunked, bytes);
    }
}

TEST(Base64Fuzz, MimeReaderSurvivesMutatedParts) {
    std::mt19937 rng(777);
    static const char* kFragments[] = {
        "Content-Type: application/octet-stream\r\n",
        "content-transfer-encoding: BASE64\r\n",
        "Content-Transfer-Encoding: 7bit\r\n",
        "\tname=x\r\n",
        "\r\n",
        "--boundary\r\n",
        "MIME-Version: 1.0\r\n",
        " \r\n",
    };
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        int parts = static_cast<int>(rng() % 6);
        for (int i = 0; i < parts; ++i) text += kFragments[rng() % 8];
        std::vector<uint8_t> data(rng() % 600);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        text += round % 2 ? encode(data, "p", round % 4 == 1) : randomText(rng, rng() % 600);
        if (rng() % 3) mutate(rng, text);

        // Exactly sized, so any read past the terminating NUL is caught.
        std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
        std::copy(text.begin(), text.end(), buffer.get());
        buffer[text.size()] = '\0';
        uint8_t* out = nullptr;
        int count = decode_mime_base64(buffer.get(), &out);
        std::unique_ptr<uint8_t, decltype(&std::free)> owned(out, &std::free);
        ASSERT_GE(count, 0);
        ASSERT_EQ(out != nullptr, count > 0);
        ASSERT_LE(static_cast<size_t>(count), text.size() / 4 * 3 + 2);
        volatile uint8_t sink = 0;
        for (int i = 0; i < count; ++i) sink = sink ^ out[i];
    }
}

TEST(Base64Fuzz, WriterRoundTripsAnyDataAndName) {
    std::mt19937 rng(99);
    for (int round = 0; round < 1500; ++round) {
        std::vector<uint8_t> data(rng() % 2000);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        // Any printable name; line ends in a name would split the header.
        std::string name;
        for (size_t i = rng() % 400; i > 0; --i) name += static_cast<char>(' ' + rng() % 95);
        name += "%s%n%x";
        std::string text = encode(data, name.c_str(), true);
        std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
        std::copy(text.begin(), text.end(), buffer.get());
        buffer[text.size()] = '\0';
        uint8_t* out = nullptr;
        int count = decode_mime_base64(buffer.get(), &out);
        std::unique_ptr<uint8_t, decltype(&std::free)> owned(out, &std::free);
        ASSERT_EQ(std::vector<uint8_t>(out, out + count), data) << "round " << round;
    }
}

}  // namespace
}  // namespace fontseal
