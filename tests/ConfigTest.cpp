#include "core/store/Config.h"

#include "core/store/Paths.h"
#include "sandbox/Sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using tarvo::Config;

namespace {

class ConfigTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const auto& file : {tarvo::Paths::config(), tarvo::Paths::configLastGood()}) {
            std::filesystem::remove(file);
            for (const auto& aside : tarvo::sandbox::filesLike(file))
                std::filesystem::remove(aside);
        }
    }

    static void writeFile(const std::string& text) {
        tarvo::sandbox::writeFile(tarvo::Paths::config(), text);
    }
    static std::string readFile() { return tarvo::sandbox::readFile(tarvo::Paths::config()); }
    // The defaults at the strictest threshold; with `blink`, the strictest
    // settings a damaged file falls back to.
    static void expectFallback(const Config& config, bool blink = false) {
        Config expected;
        expected.threshold = Config::strictest();
        if (blink) expected.liveness = Config::Liveness::blink;
        EXPECT_EQ(config, expected);
    }
    static Config loadFrom(Config::Source expected) {
        Config::Source source;
        Config config = Config::load(&source);
        EXPECT_EQ(source, expected);
        return config;
    }
};

TEST_F(ConfigTest, MissingOrUndecodableFileGivesStrictestDefaults) {
    expectFallback(loadFrom(Config::Source::defaults));
    for (const char* wrong :
         {"{\"requiredFrames\": \"3\"}", "{\"warmWithDisplay\": 1}", "{\"sensitivity\": true}",
          "{\"requiredFrames\": 3.5}", "{\"threshold\": 1e300}",
          "{\"requiredFrames\": 18446744073709551615}"}) {
        writeFile(wrong);
        SCOPED_TRACE(wrong);
        expectFallback(loadFrom(Config::Source::file));
    }
    for (const char* bad : {"", "{", "[]", "null", "\"x\""}) {
        writeFile(bad);
        SCOPED_TRACE(bad);
        expectFallback(loadFrom(Config::Source::strictest), true);
    }
    EXPECT_EQ(readFile(), "\"x\"") << "bad file is left";

    // Neither a directory nor a FIFO in the file's place holds a reader up.
    std::filesystem::remove(tarvo::Paths::config());
    ASSERT_EQ(mkfifo(tarvo::Paths::config().c_str(), 0600), 0);
    expectFallback(loadFrom(Config::Source::strictest), true);
    std::filesystem::remove(tarvo::Paths::config());
    std::filesystem::create_directory(tarvo::Paths::config());
    expectFallback(loadFrom(Config::Source::strictest), true);
    std::filesystem::remove(tarvo::Paths::config());
}

// A damaged file never loosens anything: the last save stands in for it,
// else the strictest settings; a save keeps it aside.
TEST_F(ConfigTest, ADamagedFileNeverWeakensAndIsKeptAside) {
    Config chosen;
    chosen.liveness = Config::Liveness::blink;
    chosen.setSensitivity(0.4);
    chosen.save();
    EXPECT_EQ(tarvo::sandbox::readFile(tarvo::Paths::configLastGood()), readFile());
    const std::string damaged = readFile().substr(0, 30);
    writeFile(damaged);
    Config loaded = loadFrom(Config::Source::lastGood);
    EXPECT_EQ(loaded, chosen);
    EXPECT_EQ(Config::problem(Config::Source::lastGood),
              "Your settings file is damaged: Tarvo uses your last good settings");
    loaded.warmWithDisplay = false;
    loaded.save();
    auto aside = tarvo::sandbox::filesLike(tarvo::Paths::config());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(tarvo::sandbox::readFile(aside[0]), damaged);
    EXPECT_EQ(loadFrom(Config::Source::file), loaded);

    std::filesystem::remove(tarvo::Paths::configLastGood());
    writeFile(damaged);
    expectFallback(loadFrom(Config::Source::strictest), true);
    EXPECT_EQ(Config::problem(Config::Source::strictest),
              "Your settings file is damaged: Tarvo uses the strictest settings (blink, "
              "sensitivity 0)");
    EXPECT_EQ(Config::problem(Config::Source::defaults), std::nullopt);
    // A file saved before there were copies gets one.
    writeFile(R"({"liveness": "blink"})");
    Config::keepLastGood();
    EXPECT_EQ(tarvo::sandbox::readFile(tarvo::Paths::configLastGood()), readFile());
}

TEST_F(ConfigTest, ThresholdIsAlwaysDerivedFromSensitivity) {
    ASSERT_LT(Config::strictest(), Config::loosest()) << "the model's scale was read";
    writeFile(R"({"sensitivity": 0.5})");
    Config config = Config::load();
    EXPECT_FLOAT_EQ(config.threshold, (Config::strictest() + Config::loosest()) / 2);
    EXPECT_EQ(config.requiredFrames, 3);
    EXPECT_TRUE(config.warmWithDisplay);

    writeFile(R"({"threshold": 0.9, "sensitivity": 0})");
    EXPECT_EQ(Config::load().threshold, Config::strictest());
    writeFile(R"({"sensitivity": 1.7})");
    config = Config::load();
    EXPECT_EQ(config.threshold, Config::loosest());
    EXPECT_EQ(config.sensitivity, 1.7);
    writeFile(R"({"sensitivity": -1})");
    EXPECT_EQ(Config::load().threshold, Config::strictest());
}

// The scale lies beside the model; a description without sound figures
// gives no scale at all, so nothing but an identical face is accepted.
TEST(ModelScaleTest, OnlySoundFiguresMakeAScale) {
    tarvo::ModelScale scale = tarvo::ModelScale::current();
    auto written = scale.into(R"({"mean": 127.5, "measured": 3})");
    ASSERT_TRUE(written);
    EXPECT_NE(written->find("\"mean\": 127.5"), std::string::npos) << "other keys are kept";
    EXPECT_EQ(tarvo::ModelScale::decode(*written), scale);
    EXPECT_EQ(scale.into("[]"), std::nullopt);

    auto damaged = [&](const std::string& from, const std::string& to) {
        auto text = *written;
        text.replace(text.find(from), from.size(), to);
        return tarvo::ModelScale::decode(text);
    };
    EXPECT_EQ(damaged("\"strictest\"", "\"strict\""), std::nullopt) << "a figure missing";
    EXPECT_EQ(damaged("\"loosest\": ", "\"loosest\": -"), std::nullopt) << "out of order";
    EXPECT_EQ(damaged("\"acceptance\": [", "\"acceptance\": [1,"), std::nullopt) << "27 steps";
    EXPECT_EQ(damaged("\"acceptance\": [", "\"acceptance\": [\"x\","), std::nullopt);
    EXPECT_EQ(tarvo::ModelScale::decode("{\"measured\": {}}"), std::nullopt);

    auto elsewhere = tarvo::sandbox::root() / "elsewhere/FaceEmbedding.tflite";
    const std::string model = ::getenv("TARVO_MODEL");
    ::setenv("TARVO_MODEL", elsewhere.c_str(), 1);
    EXPECT_EQ(tarvo::ModelScale::current(), tarvo::ModelScale{});
    EXPECT_EQ(Config::thresholdFor(1), 0.0f);
    ::setenv("TARVO_MODEL", model.c_str(), 1);
    EXPECT_EQ(Config::loosest(), scale.loosest);
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
    EXPECT_FALSE(config.warmWithDisplay);
    EXPECT_EQ(config.requiredFrames, 2);

    writeFile(R"({"liveness": "blink"})");
    EXPECT_EQ(Config::load().liveness, Config::Liveness::blink);

    // One wrong-typed key costs no other key its value.
    writeFile(R"({"scanTimeout": "15", "requiredFrames": 5, "warmWithDisplay": false,
                  "liveness": "blink", "sensitivity": 0.5, "threshold": "x"})");
    config = Config::load();
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
    // The float's shortest text (0.1), not its double's (0.10000000149011612).
    EXPECT_EQ(Config::decode(text)->threshold, config.threshold);
    auto at = text.find("\"threshold\": ") + 13;
    EXPECT_LE(text.find(',', at) - at, 6u) << text;
    EXPECT_NE(text.find("\n  \"liveness\": \"blink\""), std::string::npos) << text;
    EXPECT_EQ(tarvo::sandbox::modeOf(tarvo::Paths::config()), 0600u);

    Config loaded = Config::load();
    config.applySensitivity();
    EXPECT_EQ(loaded, config);
}

TEST_F(ConfigTest, FailedSaveThrowsAndKeepsOldFile) {
    Config().save();
    std::string before = readFile();
    Config broken;
    broken.openEyeAspectRatio = std::numeric_limits<double>::infinity();
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
