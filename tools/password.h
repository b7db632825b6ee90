// SPDX-License-Identifier: Apache-2.0
// Where the key password comes from. It is never taken from the command line,
// where other users and shell histories would see it.
#pragma once
#include <cstddef>
#include <string>

namespace fontseal_cli {

// The longest password or PIN line read from a file, standard input or the
// terminal.
constexpr size_t kMaxSecretLine = 4096;

struct PasswordSource {
    enum Kind { kNone, kEnv, kFile, kTerminal } kind = kNone;
    std::string name;  // variable name or file path ("-": standard input)
    bool pin = false;  // a token's PIN (--pin-*) rather than a key file's password
};

// Reads the password. Returns false with `error` set when it cannot.
bool read_password(const PasswordSource& source, const std::string& key_path, std::string& password,
                   std::string& error);

// For a key file named without a password option: asks the library whether
// the key needs a password, and makes the terminal the source when it does
// and there is one; `unasked` says a password is needed that nobody can be
// asked for. False, with the library's message in `error`, when the key file
// cannot be read.
bool choose_password_source(const std::string& key_path, PasswordSource& source, bool& unasked,
                            std::string& error);

// Whether there is a controlling terminal to ask on.
bool terminal_available();

// Overwrites a string's characters before it is released.
void wipe(std::string& secret);

}  // namespace fontseal_cli
