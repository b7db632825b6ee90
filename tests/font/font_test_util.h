// SPDX-License-Identifier: Apache-2.0
// Shared steps of the font-layer tests: running the writer over a font held
// in memory or in a file, and asking fontTools about the result.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "font/ot_buffered_file.h"
#include "font/ot_file_stream.h"
#include "font/ot_memory_stream.h"
#include "font/ot_signing_font.h"
#include "support/test_support.h"

namespace fontseal {
namespace fonttest {

using Edit = std::function<void(OTSigningFont&)>;

// A memory stream holding `bytes`, positioned at 0, usable as font input.
inline void fill(OTMemoryStream& stream, const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) stream.write(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.seek(0, SeekOrigin::kBegin);
}

inline std::vector<uint8_t> contents(OTMemoryStream& stream) {
    return std::vector<uint8_t>(stream.buffer(), stream.buffer() + stream.size());
}

// Reads the directory of `font`, applies `edit`, writes into memory.
inline std::vector<uint8_t> rewrite(const std::vector<uint8_t>& font, const Edit& edit = {}) {
    OTMemoryStream in(static_cast<int32_t>(font.size()));
    fill(in, font);
    OTMemoryStream out(0x10000);
    OTSigningFont f(&in, &out);
    f.readDirectory();
    if (edit) edit(f);
    EXPECT_EQ(f.writeFont(), 0);
    return contents(out);
}

// The path the signing job takes: file input, buffered file output.
inline void rewriteFile(const std::string& inPath, const std::string& outPath,
                        const Edit& edit = {}) {
    OTFileStream in(inPath.c_str(), OpenMode::kRead);
    ASSERT_TRUE(in.isOk());
    OTBufferedFile out(outPath.c_str(), OpenMode::kCreateReadWrite);
    ASSERT_TRUE(out.isOk());
    OTSigningFont f(&in, &out);
    f.readDirectory();
    if (edit) edit(f);
    ASSERT_EQ(f.writeFont(), 0);
    ASSERT_TRUE(out.close());
}

// A malloc'd copy, as the signing job hands signature blobs over.
inline uint8_t* mallocCopy(const std::vector<uint8_t>& bytes) {
    auto* p = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    return p;
}

// Loads the font with fontTools, verifying every table checksum (head's with
// checkSumAdjustment zeroed), and prints the version, the tags in directory
// order and, when present, the DSIG table's fields and signature in hex.
inline int fontToolsReport(const std::string& path, std::string* out) {
    testsupport::TempDir dir;
    std::string script = dir.file("check.py");
    testsupport::writeText(script,
                           "import sys\n"
                           "from fontTools.ttLib import TTFont\n"
                           "f = TTFont(sys.argv[1], checkChecksums=2)\n"
                           "for tag in f.reader.keys():\n"
                           "    f.reader[tag]\n"
                           "v = f.sfntVersion\n"
                           "print(v.decode('latin-1') if isinstance(v, bytes) else v)\n"
                           "print(','.join(f.reader.keys()))\n"
                           "f['head']\n"
                           "if 'DSIG' in f:\n"
                           "    d = f['DSIG']\n"
                           "    print(d.ulVersion, d.usNumSigs, d.usFlag)\n"
                           "    for r in d.signatureRecords:\n"
                           "        print(r.ulFormat, r.ulLength, r.ulOffset, r.cbSignature, "
                           "r.pkcs7.hex())\n");
    return testsupport::run("/usr/bin/python3 '" + script + "' '" + path + "' 2>&1", out);
}

}  // namespace fonttest
}  // namespace fontseal
