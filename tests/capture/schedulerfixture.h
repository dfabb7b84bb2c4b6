// A scheduler on a fake window, with a gated job, a scratch target directory and a test thread
// that plays the window thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "capture/scheduler.h"
#include "support/childprocess.h"
#include "tests/capture/fakewindow.h"
#include "tests/capture/jobgate.h"

namespace tessaly {

class SchedulerFixture : public testing::Test {
 protected:
  SchedulerFixture() {
    window_.directory = dir_.Path();
    window_.address = "http://cam.example/pic/image.jpg";
  }
  ~SchedulerFixture() override {
    gate_.Open();
    scheduler_.reset();
  }

  TScheduler& Scheduler() {
    if (!scheduler_) scheduler_ = std::make_unique<TScheduler>(window_, gate_.Job());
    return *scheduler_;
  }
  bool Pump(const std::function<bool()>& done) { return window_.PumpUntil(done); }
  // Lets the running job end and waits on the window thread until its end has been handled.
  bool FinishJob() {
    gate_.Release();
    return Pump([&] { return !Scheduler().JobRunning(); });
  }
  // Start, and wait until the first job is at the gate.
  bool StartAndWaitForJob() {
    const size_t before = gate_.Started();
    Scheduler().Button1_StartClick();
    return gate_.WaitStarted(before + 1);
  }

  bool ShowsRunning() const {
    for (const auto& [control, on] : window_.enabled)
      if (on != (control == TControl::Button2_Stop)) return false;
    return true;
  }
  bool ShowsIdle() const {
    for (const auto& [control, on] : window_.enabled)
      if (on != (control != TControl::Button2_Stop)) return false;
    return true;
  }

  ScratchDir dir_;
  TFakeWindow window_;
  TJobGate gate_;
  std::unique_ptr<TScheduler> scheduler_;
};

}  // namespace tessaly
