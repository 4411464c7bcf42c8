// GoogleTest main that owns a QCoreApplication, so queued calls and nested
// event loops behave in tests as they do in the program.
#include <gtest/gtest.h>

#include <QCoreApplication>

// Qt Core is not built with the thread sanitizer: the locks that guard its
// posted-event queue are invisible to it, so two threads posting events look
// like a race inside Qt. Only races with a frame in Qt itself are excused.
// (Read by the thread sanitizer at start-up; unused in other builds.)
extern "C" const char* __tsan_default_suppressions() { return "race:libQt6Core.so\n"; }

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
