// Where the key password comes from. It is never taken from the command line,
// where other users and shell histories would see it.
#pragma once
#include <string>

namespace fontseal_cli {

struct PasswordSource {
    enum Kind { kNone, kEnv, kFile, kTerminal } kind = kNone;
    std::string name;  // variable name or file path
    bool pin = false;  // a token's PIN (--pin-*) rather than a key file's password
};

// Reads the password. Returns false with `error` set when it cannot.
bool read_password(const PasswordSource& source, const std::string& key_path, std::string& password,
                   std::string& error);

// Whether there is a controlling terminal to ask on.
bool terminal_available();

// Overwrites a string's characters before it is released.
void wipe(std::string& secret);

}  // namespace fontseal_cli
