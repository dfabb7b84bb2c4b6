#include "tests/app/windowharness.h"

namespace tessaly {

namespace {

// Owns the QApplication; it must go before exit, while Qt's own globals still live.
class TApplicationEnvironment final : public testing::Environment {
 public:
  void Make() {
    if (application_ || QApplication::instance()) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    application_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
  }
  void TearDown() override { application_.reset(); }

 private:
  int argc_ = 1;
  char name_[10] = "app_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};

// gtest owns the environments it is given and tears them down after the last test.
TApplicationEnvironment* const environment = static_cast<TApplicationEnvironment*>(
    testing::AddGlobalTestEnvironment(std::make_unique<TApplicationEnvironment>().release()));

}  // namespace

void EnsureApplication() {
  environment->Make();
}

}  // namespace tessaly
