// GuiMain.cpp - GoogleTest with a QApplication, drawn off screen.
#include <gtest/gtest.h>

#include <QApplication>

#include "GuiTestSupport.h"

namespace {

class CModalCleanup : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override { CancelModalHandlers(); }
};

} // namespace

int main(int argc, char** argv)
{
    // Listing the tests runs this binary too, without the test's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new CModalCleanup);
    return RUN_ALL_TESTS();
}
