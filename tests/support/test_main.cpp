// Every suite runs inside a QCoreApplication-compatible process so code that
// waits on the event pump behaves as it does in the program.
#include <gtest/gtest.h>

#ifdef VIZU_TEST_WIDGETS
#include <QApplication>
#else
#include <QCoreApplication>
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifdef VIZU_TEST_WIDGETS
  // Widget suites never need a desktop (test discovery runs them bare too).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#if !defined(VIZU_TEST_SECRET_SERVICE) && !defined(VIZU_TEST_PRIVATE_BUS)
  // Nor the desktop's secret store: a test's password must never land in
  // the keyring of the person running it. Windows then keep it in their
  // settings file, as they do where no secret service answers.
  qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quenwick-tests");
#endif
  QApplication app(argc, argv);
#else
  QCoreApplication app(argc, argv);
#endif
  return RUN_ALL_TESTS();
}
