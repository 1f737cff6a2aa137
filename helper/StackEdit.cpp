#include "helper/StackEdit.h"

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string_view>
#include <vector>

namespace tarvo::StackEdit {
namespace {

constexpr const char* control = "[success=done ignore=ignore default=ignore]";
constexpr std::string_view copyMark = "# Written by tarvo-helper from ";
constexpr std::string_view checkMark = " Check: ";

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

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string field; in >> field;)
        out.push_back(field);
    return out;
}

// Runs of white space folded to one blank, inside the brackets too.
std::string folded(const std::string& line) {
    std::string out;
    for (const auto& field : fields(line))
        out += (out.empty() ? "" : " ") + field;
    return out;
}

bool isOurs(const std::string& line) {
    auto f = fields(line);
    if (f.size() != 5 || f[0] != "auth") return false;
    const std::string& path = f[4];
    constexpr std::string_view name = "/pam_tarvo.so";
    bool ourModule = path.size() > name.size() && path[0] == '/' &&
                     path.compare(path.size() - name.size(), name.size(), name) == 0;
    return ourModule && folded(line) == folded(std::string("auth ") + control + " " + path);
}

bool isAuth(const std::vector<std::string>& f) {
    return !f.empty() && (f[0] == "auth" || f[0] == "-auth");
}

bool isPasswordCheck(const std::vector<std::string>& f) {
    if (f.size() >= 2 && f[0] == "@include") return f[1].find("auth") != std::string::npos;
    if (!isAuth(f) || f.size() < 3) return false;
    if (f[1] == "include" || f[1] == "substack") return true;
    // The control may be a bracketed list: the module is the first field
    // after the one that closes it.
    size_t module = 1;
    if (f[1][0] == '[')
        while (module < f.size() && f[module].back() != ']')
            ++module;
    ++module;
    return module < f.size() && f[module].find("pam_unix.so") != std::string::npos;
}

} // namespace

std::string moduleLine(const std::string& modulePath) {
    return std::string("auth\t") + control + "\t" + modulePath;
}

std::string unwire(const std::string& stack) {
    std::vector<std::string> kept;
    for (const auto& line : lines(stack))
        if (!isOurs(line)) kept.push_back(line);
    return join(kept);
}

std::string wire(const std::string& stack, const std::string& line) {
    std::vector<std::string> out = lines(unwire(stack));
    size_t firstAuth = out.size(), check = out.size();
    for (size_t i = out.size(); i-- > 0;) {
        auto f = fields(out[i]);
        if (isAuth(f) || isPasswordCheck(f)) firstAuth = i;
        if (isPasswordCheck(f)) check = i;
    }
    size_t at = check < out.size() ? check : firstAuth;
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), line);
    return join(out);
}

// FNV-1a over the copy's lines, in hexadecimal: not a defence against
// root, only a way to tell our text from one an administrator edited.
std::string checkOf(std::string_view body) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : body)
        hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string wiredCopy(const std::string& vendorStack, const std::string& vendorPath,
                      const std::string& line) {
    std::string body = wire(vendorStack, line);
    return std::string(copyMark) + vendorPath +
           " with face unlock wired; removed when face unlock is turned off." +
           std::string(checkMark) + checkOf(body) + "\n" + body;
}

CopyState copyState(const std::string& stack) {
    if (stack.rfind(copyMark, 0) != 0) return CopyState::notACopy;
    size_t end = stack.find('\n');
    if (end == std::string::npos) return CopyState::edited;
    std::string_view header(stack.data(), end);
    size_t check = header.rfind(checkMark);
    // Copies from before the check was written are taken as they were.
    if (check == std::string_view::npos) return CopyState::ours;
    std::string_view body(stack.data() + end + 1, stack.size() - end - 1);
    return header.substr(check + checkMark.size()) == checkOf(body) ? CopyState::ours
                                                                    : CopyState::edited;
}

} // namespace tarvo::StackEdit
