// SPDX-License-Identifier: Apache-2.0
// Where `fontseal sign` writes: INPUT OUTPUT, --out-dir or --in-place, and
// which existing OUTPUT it may replace.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "sign_parts.h"

namespace fontseal_cli {
namespace sign_cmd {

std::string base_name(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path with every run of slashes made one: "signed/" and a name give
// "signed/x.ttf", never "signed//x.ttf".
std::string tidy_path(const std::string& path) {
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    return out;
}

int check_outputs(const CLI::App& app, const SignArgs& args) {
    if (args.inPlace) {
        if (args.paths.empty()) return usage("no input fonts given");
        return -1;
    }
    if (!app.count("--out-dir")) {
        if (args.paths.size() != 2)
            return usage(
                "expected INPUT and OUTPUT (or --out-dir DIR INPUT..., or --in-place INPUT...)");
        return -1;
    }
    if (args.paths.empty()) return usage("no input fonts given");
    std::set<std::string> names;
    for (const std::string& path : args.paths) {
        if (!names.insert(base_name(path)).second)
            return usage("two inputs are named " + base_name(path) +
                         "; their signed fonts would overwrite each other in " +
                         tidy_path(args.outDir));
    }
    struct stat st;
    if (::stat(args.outDir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return usage("--out-dir " + args.outDir + " is not a directory");
        return -1;
    }
    // A folder that is not there yet is made, with its parents, as mkdir -p
    // would (0777 less the umask).
    std::string made;
    for (size_t at = 0; at != std::string::npos;) {
        at = args.outDir.find('/', at + 1);
        made = args.outDir.substr(0, at);
        if (::mkdir(made.c_str(), 0777) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "fontseal sign: cannot create --out-dir %s: %s\n",
                         args.outDir.c_str(), std::strerror(errno));
            return kExitFailed;
        }
    }
    if (::stat(args.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage("--out-dir " + args.outDir + " is not a directory");
    return -1;
}

namespace {

// A private directory for the comparison below, removed with what it holds.
class ScratchDir {
public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fontseal-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data())) path_ = name.data();
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        for (const char* file : {"/a", "/b"}) ::unlink((path_ + file).c_str());
        ::rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool same_bytes(const std::string& a, const std::string& b) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> fa(std::fopen(a.c_str(), "rb"), std::fclose);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> fb(std::fopen(b.c_str(), "rb"), std::fclose);
    if (!fa || !fb) return false;
    std::vector<char> x(1 << 16), y(1 << 16);
    for (;;) {
        const size_t n = std::fread(x.data(), 1, x.size(), fa.get());
        const size_t m = std::fread(y.data(), 1, y.size(), fb.get());
        if (n != m || std::memcmp(x.data(), y.data(), n) != 0) return false;
        if (n < x.size()) return std::feof(fa.get()) && std::feof(fb.get());
    }
}

enum class Replace { kYes, kDifferentFont, kCannotTell };

// Whether writing `input`'s signed font to `output` loses nothing: there is
// no such file, or it is `input` itself, or no font at all, or `input`'s own
// signed font from an earlier run (the same font once both lose their
// signatures). An existing, different font is somebody's work: `sign *.ttf`
// in a folder of two fonts names one as the other's output.
Replace output_is_replaceable(const std::string& input, const std::string& output) {
    struct stat in, out;
    if (::stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return Replace::kYes;
    if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        return Replace::kYes;
    ScratchDir scratch;
    if (scratch.path().empty()) return Replace::kCannotTell;
    const std::string a = scratch.path() + "/a", b = scratch.path() + "/b";
    fontseal_report report{};
    report.size = sizeof report;
    if (fontseal_strip(output.c_str(), b.c_str(), &report) != FONTSEAL_OK) return Replace::kYes;
    // An input that is no font fails when it is signed, with its reason.
    if (fontseal_strip(input.c_str(), a.c_str(), &report) != FONTSEAL_OK) return Replace::kYes;
    return same_bytes(a, b) ? Replace::kYes : Replace::kDifferentFont;
}

}  // namespace

int check_overwrite(const CLI::App& app, const SignArgs& args) {
    if (!app.count("--out-dir") && !args.inPlace && !args.force) {
        switch (output_is_replaceable(args.paths[0], args.paths[1])) {
            case Replace::kYes:
                break;
            case Replace::kDifferentFont:
                return usage(args.paths[1] +
                             " exists and is a different font: use --force to replace it, or "
                             "--out-dir / --in-place for a family");
            case Replace::kCannotTell:
                return usage(args.paths[1] +
                             " exists, and without a temporary directory (TMPDIR) it cannot "
                             "be told apart from another font: use --force to replace it");
        }
    }
    return -1;
}

}  // namespace sign_cmd
}  // namespace fontseal_cli
