// What each result code of the library means to the person who ran the tool.
#pragma once
#include <cstdint>
#include <string>

namespace fontseal_cli {

struct SignFiles {
    std::string input;
    std::string output;
    std::string cert;
    std::string key;
};

// One line saying what went wrong and which file it concerns, with the code.
std::string describe_result(int32_t code, const SignFiles& files);

}  // namespace fontseal_cli
