#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <unistd.h>

#ifdef TARVO_QT_EVENT_LOOP
#include <QCoreApplication>
#endif
#ifdef TARVO_QT_GUI
#include <QApplication>
#include <QQuickWindow>
#endif

constexpr int skippedExit = 77;

// Third-party leaks the tests' own processes may show at exit, as for the
// programs they start (below); read by LeakSanitizer when it starts.
extern "C" const char* __lsan_default_options() {
    return "suppressions=" TARVO_TESTS_DIR "/lsan.supp";
}

// Every test binary runs in the sandbox: test users with temporary homes,
// and, as root, a system log of its own; the model is the fetched one, with
// its measured scale beside it. The application's tests get an event loop; the desktop app's, a
// GUI.
int main(int argc, char** argv) {
    tarvo::sandbox::enter(argc, argv);
    ::setenv("TARVO_MODEL", TARVO_DATA_DIR "/model/FaceEmbedding.tflite", 0);
    // For the programs the tests start (tarvoctl, tarvo): leaks of
    // third-party libraries they load.
    ::setenv("LSAN_OPTIONS", "suppressions=" TARVO_TESTS_DIR "/lsan.supp", 0);
    if (geteuid() == 0) tarvo::sandbox::SyslogCapture::install();
#if defined(__SANITIZE_THREAD__)
    // OpenCV's worker pool (TBB) synchronises in ways ThreadSanitizer can't
    // see; the networks run on the calling thread instead.
    cv::setNumThreads(1);
#endif
    testing::InitGoogleTest(&argc, argv);
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
