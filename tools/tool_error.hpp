// The failure every command reports the same way: "tyx: " and the text on standard error, and a
// non-zero exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace tyx::tool {

class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& text, int exit_code = 1)
        : std::runtime_error(text), exit_code_(exit_code) {}
    int exit_code() const { return exit_code_; }

private:
    int exit_code_;
};

}  // namespace tyx::tool
