#include "helper/StackEdit.h"

#include <sstream>
#include <vector>

namespace tarvo::StackEdit {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string join(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : lines)
        out += line + "\n";
    return out;
}

bool isOurs(const std::string& line) {
    return !line.empty() && line[0] != '#' && line.find("pam_tarvo.so") != std::string::npos;
}

bool isAuth(const std::string& line) {
    std::istringstream fields(line);
    std::string type, rest;
    fields >> type;
    if (type == "auth" || type == "-auth") return true;
    // Debian's stacks pull in the password check with "@include common-auth".
    return type == "@include" && (fields >> rest) && rest.find("auth") != std::string::npos;
}

} // namespace

std::string moduleLine(const std::string& modulePath) {
    return "auth\t[success=done ignore=ignore default=ignore]\t" + modulePath;
}

std::string unwire(const std::string& stack) {
    std::vector<std::string> kept;
    for (const auto& line : lines(stack))
        if (!isOurs(line)) kept.push_back(line);
    return join(kept);
}

std::string wire(const std::string& stack, const std::string& line) {
    std::vector<std::string> out = lines(unwire(stack));
    size_t at = out.size();
    for (size_t i = 0; i < out.size(); ++i)
        if (isAuth(out[i])) {
            at = i;
            break;
        }
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), line);
    return join(out);
}

} // namespace tarvo::StackEdit
