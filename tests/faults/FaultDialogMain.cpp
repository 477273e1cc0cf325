#include <QApplication>

#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char* argv[])
{
    // Test discovery runs this binary at build time, before ctest's environment applies.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Frames are counted by synced fake sinks; no window or sound device is needed.
    qputenv("ZEPHYRSCOPE_FAKE_SINKS", "1");
    std::signal(SIGXFSZ, SIG_IGN);

    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
