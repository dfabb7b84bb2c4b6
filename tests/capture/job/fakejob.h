// A capture job as the scheduler hands it over, writing into a scratch directory and recording
// what it asked of the window.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "capture/job/jobcontext.h"
#include "capture/job/naming.h"

namespace tessaly {

class FakeJob : public TJobContext {
 public:
  FakeJob(Text address, Text save_dir, int32_t counter)
      : address_(std::move(address)), save_dir_(std::move(save_dir)), counter_(counter) {}

  const Text& Address() const override { return address_; }
  int32_t Counter() const override { return counter_; }
  const Text& SaveDir() const override { return save_dir_; }
  Text MakeFileName(const Text& name) override {
    const Text path = FreshFilePath(save_dir_, name, counter_);
    captions.push_back(path);
    if (after_naming) after_naming(path);
    return path;
  }
  void ShowMessage(const Text& text) override { messages.push_back(text); }
  void SetCaption(const Text& text) override { captions.push_back(text); }
  std::stop_token StopToken() const override { return stop.get_token(); }
  TJobOptions Options() const override { return options; }
  void ReportOutcome(const TJobOutcome& outcome) override { outcomes.push_back(outcome); }

  TJobOptions options;
  std::vector<TJobOutcome> outcomes;
  std::vector<Text> captions;
  std::vector<Text> messages;
  // Runs right after a name was chosen, before anything is written under it.
  std::function<void(const Text&)> after_naming;
  std::stop_source stop;

 private:
  Text address_;
  Text save_dir_;
  int32_t counter_;
};

// The names in a directory, sorted.
inline std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tessaly
