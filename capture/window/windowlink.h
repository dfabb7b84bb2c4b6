// The worker's only road to the window thread. It can be closed from the window thread, after
// which nothing sent through it reaches the window any more, and a worker waiting on it is let go.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/window/windowport.h"

namespace tessaly {

class TWindowLink : public std::enable_shared_from_this<TWindowLink> {
 public:
  static std::shared_ptr<TWindowLink> Create(TWindowPort& window);

  // Runs fn on the window thread and waits until it has run. False when the link was closed
  // before fn could run (fn then never runs). Not to be called on the window thread.
  bool Call(std::function<void()> fn);
  // Queues fn for the window thread without waiting; it runs only if the link is still open then.
  void Post(std::function<void()> fn);
  // Window thread only. Cuts the link and releases every worker waiting in Call.
  void Close();
  bool IsOpen() const;

 private:
  struct TPendingCall;
  explicit TWindowLink(TWindowPort& window) : window_(window) {}
  void RunCall(const std::shared_ptr<TPendingCall>& call);

  TWindowPort& window_;
  mutable std::mutex mutex_;
  bool open_ = true;
  std::vector<std::shared_ptr<TPendingCall>> pending_;
};

}  // namespace tessaly
