// SPDX-License-Identifier: Apache-2.0
// Where a token's PIN comes from. The platform's token drivers ask the user
// themselves; here the asking is done in one place, in a fixed order: the PIN
// the current call was given, the source the host named in
// FONTSEAL_PIN_SOURCE ("file:PATH", its first line, or "env:NAME"), and a
// prompt without echo on the controlling terminal when there is one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/secure_bytes.h"

namespace fontseal {

// The PIN a call was given, for the tokens it uses on this thread while the
// scope lives. The bytes are copied and wiped when the scope ends.
class CallerPin {
public:
    CallerPin(const uint8_t* pin, size_t length);
    ~CallerPin();
    CallerPin(const CallerPin&) = delete;
    CallerPin& operator=(const CallerPin&) = delete;

private:
    SecureBytes pin_;
    const CallerPin* outer_;
    friend bool caller_pin(SecureBytes& pin);
};

// The current call's PIN; false when it was given none.
bool caller_pin(SecureBytes& pin);

// The PIN for `token` (a name shown in the prompt) from the first source
// that has one. False when none has (no PIN given, no source named, no
// terminal). Raises kErrTokenPinSource when the named source cannot be read
// (no such file or variable, a directory, nothing in it, a first line longer
// than kMaxPinLine, a source of no known kind): the token is never sent an
// empty or truncated PIN.
constexpr size_t kMaxPinLine = 4096;
bool token_pin(const std::string& token, SecureBytes& pin);

}  // namespace fontseal
