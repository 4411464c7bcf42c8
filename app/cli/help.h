// The help of ostrel-cli: the whole of it (--help, from which the manual page
// is made), one command's (COMMAND --help, help COMMAND) and the fault codes.
#pragma once

#include <string>

namespace ostrel {

std::string generalHelp();
// Empty when there is no such command.
std::string commandHelp(const std::string& command);
// Every fault code with what happened and what to do, in English.
std::string faultHelp();

}  // namespace ostrel
