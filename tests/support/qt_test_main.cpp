#include <gtest/gtest.h>

#include <QApplication>

// Window tests need the application object on the main thread before any widget exists.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
