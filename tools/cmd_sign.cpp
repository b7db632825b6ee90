#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "password.h"
#include "result_messages.h"
#include "utf16.h"

namespace fontseal_cli {

namespace {

const char kSignUsage[] =
    "Usage: fontseal sign --cert FILE --key FILE [OPTIONS] INPUT OUTPUT\n"
    "       fontseal sign --cert FILE --key FILE [OPTIONS] --out-dir DIR INPUT...\n"
    "\n"
    "Sign a TrueType or OpenType font: the font is laid out without any DSIG table,\n"
    "digested, and written again with a new DSIG table holding a PKCS#7 signature\n"
    "made with the key and carrying the certificates. INPUT is never changed;\n"
    "OUTPUT may be INPUT itself and is replaced only by a completely written font.\n"
    "\n"
    "Required:\n"
    "  --cert FILE            certificate file: DER, PEM or base64; a single\n"
    "                         certificate or a PKCS#7 bundle (.p7b)\n"
    "  --key FILE             private key in PVK format\n"
    "\n"
    "Password (never taken as an argument):\n"
    "  --password-file FILE   read the key password from the first line of FILE\n"
    "  --password-env NAME    read the key password from environment variable NAME\n"
    "                         Without either, an encrypted key's password is asked\n"
    "                         for on the terminal; an unencrypted key needs none.\n"
    "\n"
    "Signature:\n"
    "  --digest sha1|md5      digest algorithm (default sha1)\n"
    "  --statement auto|individual|commercial\n"
    "                         publisher statement; auto follows the certificate's\n"
    "                         code-signing purpose (default auto)\n"
    "  --program-name TEXT    program name stored in the signed publisher information\n"
    "  --info-url URL         more-information link stored with it\n"
    "\n"
    "Families:\n"
    "  --out-dir DIR          sign every INPUT into DIR under its own file name,\n"
    "                         going on when one fails; prints a line per font\n"
    "\n"
    "  -h, --help             show this help\n"
    "\n"
    "Exit status: 0 every font signed, 1 a font could not be signed, 2 usage error.\n";

struct SignArgs {
    std::string cert;
    std::string key;
    PasswordSource password;
    int32_t useSha1 = 1;
    int32_t statement = FONTSEAL_STATEMENT_AUTO;
    bool haveProgramName = false;
    std::u16string programName;
    bool haveInfoUrl = false;
    std::string infoUrl;
    bool haveOutDir = false;
    std::string outDir;
    std::vector<std::string> paths;
};

std::string base_name(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "fontseal sign: %s\nTry 'fontseal sign --help'.\n", message.c_str());
    return kExitUsage;
}

// Parses the arguments; returns -1 to go on, or an exit code.
int parse(int argc, char** argv, SignArgs& args) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kSignUsage, stdout);
            return kExitOk;
        }
        if (arg == "--") {
            for (++i; i < argc; ++i) args.paths.push_back(argv[i]);
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            args.paths.push_back(arg);
            continue;
        }
        std::string name = arg, value;
        bool inline_value = false;
        auto eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inline_value = true;
        }
        static const char* const kWithValue[] = {"--cert",         "--key",      "--password-file",
                                                 "--password-env", "--digest",   "--statement",
                                                 "--program-name", "--info-url", "--out-dir"};
        bool takes_value = false;
        for (const char* known : kWithValue) takes_value |= name == known;
        if (name == "--password")
            return usage_error(
                "a password is never taken on the command line; use --password-file FILE "
                "or --password-env NAME");
        if (!takes_value) return usage_error("unknown option '" + arg + "'");
        if (!inline_value) {
            if (i + 1 >= argc) return usage_error("option " + name + " needs a value");
            value = argv[++i];
        }
        if (name == "--cert") {
            args.cert = value;
        } else if (name == "--key") {
            args.key = value;
        } else if (name == "--password-file" || name == "--password-env") {
            if (args.password.kind != PasswordSource::kNone)
                return usage_error("give at most one of --password-file and --password-env");
            args.password.kind =
                name == "--password-file" ? PasswordSource::kFile : PasswordSource::kEnv;
            args.password.name = value;
        } else if (name == "--digest") {
            if (value == "sha1")
                args.useSha1 = FONTSEAL_DIGEST_SHA1;
            else if (value == "md5")
                args.useSha1 = FONTSEAL_DIGEST_MD5;
            else
                return usage_error("--digest must be sha1 or md5, not '" + value + "'");
        } else if (name == "--statement") {
            if (value == "auto")
                args.statement = FONTSEAL_STATEMENT_AUTO;
            else if (value == "individual")
                args.statement = FONTSEAL_STATEMENT_INDIVIDUAL;
            else if (value == "commercial")
                args.statement = FONTSEAL_STATEMENT_COMMERCIAL;
            else
                return usage_error("--statement must be auto, individual or commercial, not '" +
                                   value + "'");
        } else if (name == "--program-name") {
            if (!utf8_to_utf16(value, args.programName))
                return usage_error("--program-name is not valid UTF-8");
            args.haveProgramName = true;
        } else if (name == "--info-url") {
            args.infoUrl = value;
            args.haveInfoUrl = true;
        } else if (name == "--out-dir") {
            args.outDir = value;
            args.haveOutDir = true;
        }
    }
    if (args.cert.empty()) return usage_error("--cert FILE is required");
    if (args.key.empty()) return usage_error("--key FILE is required");
    if (args.haveOutDir) {
        if (args.paths.empty()) return usage_error("no input fonts given");
        std::set<std::string> names;
        for (const std::string& path : args.paths) {
            if (!names.insert(base_name(path)).second)
                return usage_error("two inputs are named " + base_name(path) +
                                   "; their signed fonts would overwrite each other in " +
                                   args.outDir);
        }
        struct stat st;
        if (::stat(args.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return usage_error("--out-dir " + args.outDir + " is not a directory");
    } else if (args.paths.size() != 2) {
        return usage_error("expected INPUT and OUTPUT (or --out-dir DIR INPUT...)");
    }
    return -1;
}

// An unencrypted PVK key (encrypted flag 0 in its header) needs no password;
// anything else is asked for when no password option was given.
// Anything but a regular file is left to the library to refuse; opening it
// here must not wait for a FIFO's writer.
bool key_needs_password(const std::string& key_path) {
    int fd = ::open(key_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    struct stat st;
    unsigned char header[16];
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool read_whole = regular && ::read(fd, header, sizeof header) == sizeof header;
    ::close(fd);
    if (!regular) return false;
    if (!read_whole) return true;
    static const unsigned char kMagic[4] = {0x1E, 0xF1, 0xB5, 0xB0};
    if (std::memcmp(header, kMagic, 4) != 0) return true;
    return header[12] | header[13] | header[14] | header[15];
}

int32_t sign_one(const SignArgs& args, const std::string& password, const std::string& input,
                 const std::string& output) {
    return sign_font(input.c_str(), output.c_str(), args.cert.c_str(), args.key.c_str(),
                     password.c_str(), args.useSha1, args.statement,
                     args.haveProgramName ? args.programName.c_str() : nullptr,
                     args.haveInfoUrl ? args.infoUrl.c_str() : nullptr, nullptr);
}

}  // namespace

int run_sign(int argc, char** argv) {
    SignArgs args;
    int parsed = parse(argc, argv, args);
    if (parsed >= 0) return parsed;

    PasswordSource source = args.password;
    if (source.kind == PasswordSource::kNone && key_needs_password(args.key))
        source.kind = PasswordSource::kTerminal;
    std::string password, error;
    if (!read_password(source, args.key, password, error)) {
        std::fprintf(stderr, "fontseal sign: %s\n", error.c_str());
        return kExitFailed;
    }

    int exit_code = kExitOk;
    if (!args.haveOutDir) {
        SignFiles files{args.paths[0], args.paths[1], args.cert, args.key};
        int32_t result = sign_one(args, password, files.input, files.output);
        if (result != FONTSEAL_OK) {
            std::fprintf(stderr, "fontseal sign: %s\n", describe_result(result, files).c_str());
            exit_code = kExitFailed;
        }
        wipe(password);
        return exit_code;
    }

    int signed_count = 0, failed = 0;
    for (const std::string& input : args.paths) {
        SignFiles files{input, args.outDir + "/" + base_name(input), args.cert, args.key};
        int32_t result = sign_one(args, password, files.input, files.output);
        if (result == FONTSEAL_OK) {
            ++signed_count;
            std::printf("signed %s -> %s\n", files.input.c_str(), files.output.c_str());
        } else {
            ++failed;
            std::printf("FAILED %s: %s\n", files.input.c_str(),
                        describe_result(result, files).c_str());
        }
        std::fflush(stdout);
    }
    wipe(password);
    std::printf("%d signed, %d failed\n", signed_count, failed);
    return failed ? kExitFailed : kExitOk;
}

}  // namespace fontseal_cli
