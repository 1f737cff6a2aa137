#include "platform/system/LoginItem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace tarvo::platform::LoginItem {
namespace {

// A desktop entry's Exec quoting: double quotes, with ", `, $ and \ escaped.
std::string execQuoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A desktop entry's string value: a backslash is written twice.
std::string escaped(const std::string& value) {
    std::string out;
    for (char c : value)
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

// TryExec: a session skips the entry while the program isn't there (an
// installation with the command line but not the app), rather than
// failing to start it at every login.
std::string entryText(const std::filesystem::path& program, Which which) {
    std::string exec = which == Which::app ? "env " + std::string(atLoginVariable) + "=1 " +
                                                 execQuoted(program.string())
                                           : execQuoted(program.string()) + " agent";
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" +
           std::string(which == Which::app ? "Tarvo" : "Tarvo agent") +
           "\n"
           "Comment=Face unlock for the lock screen\n"
           "TryExec=" +
           escaped(program.string()) + "\nExec=" + exec +
           "\n"
           "Icon=tarvo\n"
           "Terminal=false\n" +
           (which == Which::agent ? "NoDisplay=true\n" : "") + "X-GNOME-Autostart-enabled=true\n";
}

} // namespace

std::filesystem::path entry(const std::filesystem::path& configHome, Which which) {
    return configHome / "autostart" /
           (which == Which::app ? "tarvo.desktop" : "tarvo-agent.desktop");
}

bool isEnabled(const std::filesystem::path& configHome, Which which) {
    std::ifstream in(entry(configHome, which));
    if (!in) return false;
    for (std::string line; std::getline(in, line);)
        if (line == "Hidden=true") return false;
    return true;
}

Result<void> setEnabled(const std::filesystem::path& configHome, bool on,
                        const std::filesystem::path& program, Which which) {
    auto path = entry(configHome, which);
    std::error_code ec;
    if (!on) {
        if (!std::filesystem::remove(path, ec) && ec)
            return fail(path.string() + ": " + ec.message());
        return {};
    }
    std::filesystem::create_directories(path.parent_path(), ec);
    auto temporary = path;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << entryText(program, which);
        if (!out.flush()) return fail(temporary.string() + ": " + std::strerror(errno));
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        return fail(path.string() + ": " + ec.message());
    }
    return {};
}

bool startedAtLogin() {
    const char* marker = std::getenv(atLoginVariable);
    return marker && std::strcmp(marker, "1") == 0;
}

} // namespace tarvo::platform::LoginItem
