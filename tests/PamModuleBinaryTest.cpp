// What the lock screen loads: only libpam, libc and logind's libsystemd, only the three entry
// points, and the identifier the application looks for.
#include "pam/module_id.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <regex>
#include <security/pam_modules.h>
#include <set>

namespace {

const char* const modulePath = tarvo::sandbox::tree::pamModule;

std::string run(const std::string& command) {
    return tarvo::sandbox::run(command).out;
}

std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
    std::set<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
        found.insert((*it)[1]);
    return found;
}

TEST(PamModuleBinary, LinksOnlyLibpamLibsystemdAndLibc) {
    if (TARVO_SANITIZED) GTEST_SKIP() << "sanitizer runtimes are linked in this build";
    auto needed = matches(run(std::string("readelf -d ") + modulePath),
                          std::regex(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])"));
    EXPECT_EQ(needed, (std::set<std::string>{"libc.so.6", "libpam.so.0", "libsystemd.so.0"}));
    std::string loaded = run(std::string("ldd ") + modulePath);
    EXPECT_EQ(loaded.find("libstdc++"), std::string::npos) << loaded;
}

TEST(PamModuleBinary, ExportsOnlyTheEntryPoints) {
    auto exported = matches(run(std::string("nm -D --defined-only ") + modulePath),
                            std::regex(R"(\s[A-Za-z]\s(\S+)\n)"));
    exported.erase("_init"), exported.erase("_fini");
    EXPECT_EQ(exported,
              (std::set<std::string>{"pam_sm_acct_mgmt", "pam_sm_authenticate", "pam_sm_setcred"}));

    void* module = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using Entry = int (*)(pam_handle_t*, int, int, const char**);
    auto setcred = reinterpret_cast<Entry>(dlsym(module, "pam_sm_setcred"));
    auto account = reinterpret_cast<Entry>(dlsym(module, "pam_sm_acct_mgmt"));
    ASSERT_NE(setcred, nullptr);
    ASSERT_NE(account, nullptr);
    const char* args[] = {"debug", "anything"};
    EXPECT_EQ(setcred(nullptr, 0, 2, args), PAM_IGNORE);
    EXPECT_EQ(account(nullptr, PAM_SILENT, 0, nullptr), PAM_IGNORE);
    EXPECT_EQ(dlsym(module, "hex_decode"), nullptr);
    EXPECT_EQ(dlsym(module, "debug_enabled"), nullptr);
    dlclose(module);
}

TEST(PamModuleBinary, CarriesItsIdentifierOnce) {
    std::string image = tarvo::sandbox::readFile(modulePath);
    std::string marker = "TARVO-MODULE-ID:";
    size_t at = image.find(marker);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(image.find(marker, at + 1), std::string::npos);
    std::string id = image.substr(at + marker.size(), 41);
    EXPECT_TRUE(std::regex_match(id.substr(0, 40), std::regex("[0-9a-f]{40}"))) << id;
    EXPECT_EQ(id[40], '\0');
    EXPECT_EQ(id.substr(0, 40), TARVO_MODULE_ID) << "derived from the module's sources";
}

} // namespace
