#include "core/store/Config.h"

#include "core/store/Paths.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using tarvo::Config;

namespace {

class ConfigTest : public testing::Test {
  protected:
    void SetUp() override { std::filesystem::remove(tarvo::Paths::config()); }

    static void writeFile(const std::string& text) {
        std::ofstream(tarvo::Paths::config(), std::ios::trunc) << text;
    }
    static std::string readFile() {
        std::stringstream text;
        text << std::ifstream(tarvo::Paths::config()).rdbuf();
        return text.str();
    }
    static void expectFallback(const Config& config) {
        Config expected;
        expected.threshold = 0.45f;
        EXPECT_EQ(config, expected);
    }
};

TEST_F(ConfigTest, MissingOrUndecodableFileGivesStrictestDefaults) {
    expectFallback(Config::load());
    for (const char* bad :
         {"", "{", "[]", "null", "\"x\"", "{\"requiredFrames\": \"3\"}", "{\"warmWithDisplay\": 1}",
          "{\"sensitivity\": true}", "{\"requiredFrames\": 3.5}", "{\"threshold\": 1e300}",
          "{\"requiredFrames\": 18446744073709551615}"}) {
        writeFile(bad);
        SCOPED_TRACE(bad);
        expectFallback(Config::load());
    }
    EXPECT_EQ(readFile(), "{\"requiredFrames\": 18446744073709551615}") << "bad file is left";

    // Neither a directory nor a FIFO in the file's place holds a reader up.
    std::filesystem::remove(tarvo::Paths::config());
    ASSERT_EQ(mkfifo(tarvo::Paths::config().c_str(), 0600), 0);
    expectFallback(Config::load());
    std::filesystem::remove(tarvo::Paths::config());
    std::filesystem::create_directory(tarvo::Paths::config());
    expectFallback(Config::load());
    std::filesystem::remove(tarvo::Paths::config());
}

TEST_F(ConfigTest, ThresholdIsAlwaysDerivedFromSensitivity) {
    writeFile(R"({"sensitivity": 0.5})");
    Config config = Config::load();
    EXPECT_EQ(config.threshold, 0.5f * 0.25f + 0.45f);
    EXPECT_EQ(config.requiredFrames, 3);
    EXPECT_TRUE(config.warmWithDisplay);

    writeFile(R"({"threshold": 0.9, "sensitivity": 0})");
    EXPECT_EQ(Config::load().threshold, 0.45f);
    writeFile(R"({"sensitivity": 1.7})");
    config = Config::load();
    EXPECT_EQ(config.threshold, 0.70f);
    EXPECT_EQ(config.sensitivity, 1.7);
    writeFile(R"({"sensitivity": -1})");
    EXPECT_EQ(Config::load().threshold, 0.45f);
}

TEST_F(ConfigTest, DecodingRulesPerKey) {
    writeFile(R"({"liveness": "wink", "requiredFrames": 5, "unknown": [1, 2]})");
    Config config = Config::load();
    EXPECT_EQ(config.liveness, Config::Liveness::attention);
    EXPECT_EQ(config.requiredFrames, 5);

    writeFile(R"({"liveness": 7, "openEyeAspectRatio": null, "scanTimeout": 4,
                  "warmWithDisplay": false, "requiredFrames": 2.0})");
    config = Config::load();
    EXPECT_EQ(config.liveness, Config::Liveness::attention);
    EXPECT_EQ(config.openEyeAspectRatio, 0.0);
    EXPECT_EQ(config.scanTimeout, 4.0);
    EXPECT_FALSE(config.warmWithDisplay);
    EXPECT_EQ(config.requiredFrames, 2);

    writeFile(R"({"liveness": "blink"})");
    EXPECT_EQ(Config::load().liveness, Config::Liveness::blink);

    // One wrong-typed key costs no other key its value.
    writeFile(R"({"scanTimeout": "15", "requiredFrames": 5, "warmWithDisplay": false,
                  "liveness": "blink", "sensitivity": 0.5, "threshold": "x"})");
    config = Config::load();
    EXPECT_EQ(config.scanTimeout, Config().scanTimeout);
    EXPECT_EQ(config.requiredFrames, 5);
    EXPECT_FALSE(config.warmWithDisplay);
    EXPECT_EQ(config.liveness, Config::Liveness::blink);
    EXPECT_EQ(config.sensitivity, 0.5);
    EXPECT_EQ(config.threshold, Config::thresholdFor(0.5));
}

TEST_F(ConfigTest, SaveWritesSortedPrettyFileWithShortestThreshold) {
    Config config = Config::load();
    config.liveness = Config::Liveness::blink;
    config.sensitivity = 0.2;
    config.openEyeAspectRatio = 0.27;
    config.save();

    std::string text = readFile();
    EXPECT_NE(text.find("\"threshold\": 0.45,"), std::string::npos) << text;
    EXPECT_NE(text.find("\n  \"liveness\": \"blink\""), std::string::npos) << text;
    size_t last = 0;
    for (const char* key : {"liveness", "openEyeAspectRatio", "requiredFrames", "scanTimeout",
                            "sensitivity", "threshold", "warmWithDisplay"}) {
        size_t at = text.find(std::string("\"") + key + "\"");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key << " out of order";
        last = at;
    }
    struct stat st {};
    ASSERT_EQ(stat(tarvo::Paths::config().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    Config loaded = Config::load();
    config.applySensitivity();
    EXPECT_EQ(loaded, config);
}

TEST_F(ConfigTest, FailedSaveThrowsAndKeepsOldFile) {
    Config().save();
    std::string before = readFile();
    Config broken;
    broken.scanTimeout = std::numeric_limits<double>::infinity();
    EXPECT_THROW(broken.save(), std::runtime_error);
    EXPECT_EQ(readFile(), before);
    // A directory in the file's place can't be replaced by a file.
    std::filesystem::remove(tarvo::Paths::config());
    std::filesystem::create_directory(tarvo::Paths::config());
    EXPECT_THROW(Config().save(), std::runtime_error);
    std::filesystem::remove(tarvo::Paths::config());
    for (auto& entry : std::filesystem::directory_iterator(tarvo::Paths::dir()))
        EXPECT_EQ(entry.path().filename().string().find("config.json."), std::string::npos)
            << "temporary file left: " << entry.path();
}

} // namespace
