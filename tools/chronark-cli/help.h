// The German help of chronark-cli.
#pragma once

#include <string>

namespace chronark::cli {

// The help of one command, or the overview for "" and unknown names.
std::string CommandHelp(const std::string& Command);

}  // namespace chronark::cli
