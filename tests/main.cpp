#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <opencv2/core/utility.hpp>
#include <string>
#include <unistd.h>

#ifdef TARVO_QT_EVENT_LOOP
#include <QCoreApplication>
#endif
#ifdef TARVO_QT_GUI
#include <QApplication>
#include <QQuickWindow>
#endif

constexpr int skippedExit = 77;

namespace {

// GoogleTest reports the tests of a suite whose set-up failed as skipped,
// in the very words ctest takes for a skip ("[  SKIPPED ]"): a machine
// fault would pass for a test that could not run here. Those are said as
// failures instead; everything else is printed as GoogleTest prints it.
class SetUpFailuresFail : public testing::EmptyTestEventListener {
  public:
    explicit SetUpFailuresFail(testing::TestEventListener* printer) : printer_(printer) {}

    void OnTestProgramStart(const testing::UnitTest& unit) override {
        printer_->OnTestProgramStart(unit);
    }
    void OnTestIterationStart(const testing::UnitTest& unit, int iteration) override {
        printer_->OnTestIterationStart(unit, iteration);
    }
    void OnTestSuiteStart(const testing::TestSuite& suite) override {
        printer_->OnTestSuiteStart(suite);
    }
    void OnTestStart(const testing::TestInfo& test) override { printer_->OnTestStart(test); }
    void OnTestPartResult(const testing::TestPartResult& result) override {
        printer_->OnTestPartResult(result);
    }
    void OnTestEnd(const testing::TestInfo& test) override {
        if (!test.result()->Skipped() || !setUpFailed(test.test_suite_name()))
            return printer_->OnTestEnd(test);
        std::printf("[  FAILED  ] %s.%s: its suite could not be set up\n", test.test_suite_name(),
                    test.name());
    }
    void OnTestSuiteEnd(const testing::TestSuite& suite) override {
        printer_->OnTestSuiteEnd(suite);
    }
    void OnTestIterationEnd(const testing::UnitTest& unit, int iteration) override {
        for (int i = 0; i < unit.total_test_suite_count(); ++i)
            if (unit.GetTestSuite(i)->ad_hoc_test_result().Failed()) {
                std::printf("[  FAILED  ] %s could not be set up\n", unit.GetTestSuite(i)->name());
                return;
            }
        printer_->OnTestIterationEnd(unit, iteration);
    }
    void OnTestProgramEnd(const testing::UnitTest& unit) override {
        printer_->OnTestProgramEnd(unit);
    }

  private:
    static bool setUpFailed(const char* suiteName) {
        const auto* unit = testing::UnitTest::GetInstance();
        for (int i = 0; i < unit->total_test_suite_count(); ++i)
            if (std::string(unit->GetTestSuite(i)->name()) == suiteName)
                return unit->GetTestSuite(i)->ad_hoc_test_result().Failed();
        return false;
    }
    std::unique_ptr<testing::TestEventListener> printer_;
};

} // namespace

// Third-party leaks the tests' own processes may show at exit, as for the
// programs they start (below); read by LeakSanitizer when it starts.
extern "C" const char* __lsan_default_options() {
    return tarvo::sandbox::tree::leakSuppressions;
}

// Every test binary runs in the sandbox: test users with temporary homes,
// and, as root, a system log of its own; the model is the fetched one, with
// its measured scale beside it. The application's tests get an event loop; the desktop app's, a
// GUI.
int main(int argc, char** argv) {
    tarvo::sandbox::enter(argc, argv);
    ::setenv("TARVO_MODEL", tarvo::sandbox::tree::data("model/FaceEmbedding.tflite").c_str(), 0);
    // For the programs the tests start (tarvoctl, tarvo): leaks of
    // third-party libraries they load.
    ::setenv("LSAN_OPTIONS", tarvo::sandbox::tree::leakSuppressions, 0);
    if (geteuid() == 0) tarvo::sandbox::SyslogCapture::install();
#if defined(__SANITIZE_THREAD__)
    // OpenCV's worker pool (TBB) synchronises in ways ThreadSanitizer can't
    // see; the networks run on the calling thread instead.
    cv::setNumThreads(1);
#endif
    testing::InitGoogleTest(&argc, argv);
    auto& listeners = testing::UnitTest::GetInstance()->listeners();
    listeners.Append(new SetUpFailuresFail(listeners.Release(listeners.default_result_printer())));
#ifdef TARVO_QT_EVENT_LOOP
    QCoreApplication application(argc, argv);
#endif
#ifdef TARVO_QT_GUI
    // The views, drawn offscreen by Qt Quick's software renderer.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
#endif
    // A test that skipped itself (this machine can't run it: no root, no
    // camera) exits 77, which ctest counts as skipped; one whose suite
    // could not be set up fails, as it must on a machine meant to run it.
    int failed = RUN_ALL_TESTS();
    const auto* unit = testing::UnitTest::GetInstance();
    // A suite whose set-up failed has its tests skipped, and GoogleTest may
    // still report success: here that is a failure.
    for (int i = 0; i < unit->total_test_suite_count(); ++i)
        if (unit->GetTestSuite(i)->ad_hoc_test_result().Failed()) failed = 1;
    if (failed == 0 && unit->skipped_test_count() > 0 && unit->successful_test_count() == 0)
        return skippedExit;
    return failed;
}
