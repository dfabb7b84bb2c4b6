// The cameras' events on an MQTT broker: a message per stored picture, a retained state per
// camera, the process's availability with a will, and Home Assistant's discovery, so that each
// camera shows up there as a picture and a state sensor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "base/text.h"
#include "watch/camerawatch.h"
#include "watch/mqtttext.h"

struct mosquitto;

namespace tessaly {

struct TMqttSettings {
  TMqttUrl Url;
  // mqtts: a PEM file trusted besides the system's store; empty for the store alone.
  Text CaFile;
  // Home Assistant's discovery prefix; empty: no discovery.
  Text Discovery = "homeassistant";
  // The largest picture published on CAMERA/image; 0: none.
  int64_t ImageMaxBytes = 1 << 20;
  // The camera name of a lone series (which the watcher is told of as "").
  Text LoneName = "camera";
};

// Topics, all under the URL's prefix P: P/status ("online", "offline"; retained, and the will),
// P/CAMERA/stored (JSON per stored picture), P/CAMERA/state (JSON, retained), P/CAMERA/image (the
// last picture's bytes, retained, at most one every kImageEvery), and the discovery configs
// D/image/NODE/ID/config and D/sensor/NODE/ID/config (retained). Every message is QoS 1.
//
// The watcher's calls only queue and wake the client's own thread, which connects, publishes,
// reads the pictures and reconnects (1 s, doubling to 30 s); nothing here waits for the
// broker. While the broker is away, up to kMaxQueued stored-picture messages wait (the oldest
// are dropped beyond), and the latest state of each camera is sent once it is back.
class TMqttEvents final : public TCameraWatcher {
 public:
  static constexpr size_t kMaxQueued = 10000;
  static constexpr std::chrono::seconds kImageEvery{10};
  // Messages and bytes handed to the client library and not acknowledged yet.
  static constexpr size_t kMaxInFlight = 100;
  static constexpr size_t kMaxInFlightBytes = 8 << 20;

  // say gets the lines an administrator must read (a connection lost, back again); warning for
  // the bad news. It is called on the client's thread.
  using TSay = std::function<void(bool warning, const Text& line)>;
  TMqttEvents(TMqttSettings settings, TSay say);
  // Stop(), if not done.
  ~TMqttEvents() override;
  TMqttEvents(const TMqttEvents&) = delete;
  TMqttEvents& operator=(const TMqttEvents&) = delete;

  // Starts the client's thread, which connects in the background. False, with error, when the
  // client library refuses the settings (TLS files, say).
  bool Start(Text& error);
  // Sends what waits and "offline" on P/status, for at most grace, then disconnects (past
  // grace the broker's will says "offline"). False when the client's thread is stuck in a name
  // lookup: the caller must then end the process without destroying this object.
  bool Stop(std::chrono::milliseconds grace);

  void Began(const Text& camera, const Text& directory) override;
  void Gone(const Text& camera) override;
  void Fetched(const Text& camera, const TJobOutcome& outcome, std::time_t when,
               int64_t ms) override;
  void StateChanged(const Text& camera, const TCameraStateNote& note) override;

 private:
  struct TCamera {
    Text Level;  // TopicLevel of the name
    Text Id;     // ObjectId of the name
    Text State;  // the state's JSON; empty until told
    Text ImagePath;
    std::chrono::steady_clock::time_point NextImage{};
    bool ConfigDue = false, StateDue = false, ImageDue = false, GoneDue = false;
    bool Queued = false;  // in due_
  };
  // What the client thread takes from the queues at a time.
  struct TMessage {
    Text Topic;
    Text Payload;
    bool Retain = false;
    Text ImagePath;  // read on the client's thread; Payload is empty then
  };

  TCamera& CameraOf(const Text& name);  // mutex_ held
  void MarkDue(const Text& name, TCamera& camera);
  void Wake();
  void Run();
  // Connects when it is time; false while there is no connection.
  bool Connect(std::chrono::steady_clock::time_point& next_try);
  void Lost(const Text& why);
  // Hands messages to the library while the bounds allow; false when nothing waits.
  bool PublishDue();
  // Moves the next due messages into ready_; false when nothing is due.
  bool TakeDue();
  void CameraMessages(const Text& name, TCamera& camera, std::deque<TMessage>& out);
  Text Where() const;

  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);

  const TMqttSettings settings_;
  const TSay say_;
  const Text node_;  // ObjectId of the prefix: this process's part of every unique_id
  mosquitto* client_ = nullptr;
  int wake_fd_ = -1;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable ended_;
  bool thread_ended_ = false;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point stop_by_{};
  std::map<Text, TCamera> cameras_;
  std::deque<Text> due_;  // cameras with a retained message to send
  std::deque<TMessage> stored_;
  int64_t dropped_ = 0;

  // The client thread's own.
  bool connected_ = false;   // CONNACK accepted
  bool connecting_ = false;  // a socket is open, CONNACK not yet read
  bool ever_connected_ = false;
  bool outage_told_ = false;
  Text refused_told_;
  std::chrono::seconds backoff_{1};
  bool status_due_ = false;
  std::deque<TMessage> ready_;       // taken from the queues, to be published in this order
  std::map<int, size_t> in_flight_;  // mid -> bytes
  size_t in_flight_bytes_ = 0;
  int offline_mid_ = -1;
  bool offline_acked_ = false;
};

}  // namespace tessaly
