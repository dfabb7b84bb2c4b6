#include "watch/mqttevents.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/series/threadpriority.h"

namespace tessaly {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepAliveSeconds = 30;
constexpr std::chrono::seconds kLongestBackoff{30};

// The picture at path, when it is a regular file of at most max bytes.
bool ReadPicture(const Text& path, int64_t max, Text& bytes) {
  bytes.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat about {};
  bool ok = fstat(fd, &about) == 0 && S_ISREG(about.st_mode) && about.st_size <= max;
  if (ok) bytes.resize(static_cast<size_t>(about.st_size));
  for (size_t got = 0; ok && got < bytes.size();) {
    const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    got += n > 0 ? static_cast<size_t>(n) : 0;
  }
  close(fd);
  return ok;
}

Text ClientId() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return ("tessaly-" + IntToText(getpid()) + "-" + ObjectId(host)).substr(0, 64);
}

Text ReasonText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

}  // namespace

TMqttEvents::TMqttEvents(TMqttSettings settings, TSay say)
    : settings_(std::move(settings)), say_(std::move(say)), node_(ObjectId(settings_.Url.Prefix)) {}

TMqttEvents::~TMqttEvents() {
  if (!Stop(std::chrono::milliseconds(0))) {
    thread_.detach();  // only when the caller ignored Stop's answer
    return;
  }
  if (client_ != nullptr) mosquitto_destroy(client_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool TMqttEvents::Start(Text& error) {
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
  const TMqttUrl& url = settings_.Url;
  client_ = mosquitto_new(ClientId().c_str(), true, this);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (client_ == nullptr || wake_fd_ < 0)
    return error = Text("cannot make the MQTT client: ") + std::strerror(errno), false;
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_max_inflight_messages_set(client_, kMaxInFlight);
  mosquitto_connect_callback_set(client_, &TMqttEvents::OnConnect);
  mosquitto_publish_callback_set(client_, &TMqttEvents::OnPublish);
  int rc = MOSQ_ERR_SUCCESS;
  if (!url.User.empty())
    rc = mosquitto_username_pw_set(client_, url.User.c_str(),
                                   url.HasPassword ? url.Password.c_str() : nullptr);
  if (rc == MOSQ_ERR_SUCCESS && url.Tls) {
    // The system's store, and the administrator's file besides; the broker's name is checked.
    mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    rc = settings_.CaFile.empty()
             ? mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
             : mosquitto_tls_set(client_, settings_.CaFile.c_str(), nullptr, nullptr, nullptr,
                                 nullptr);
  }
  // The broker says "offline" for us when the connection ends without a goodbye (a kill, a
  // crash, a network gone for longer than the keep-alive).
  const Text status = url.Prefix + "/status";
  if (rc == MOSQ_ERR_SUCCESS)
    rc = mosquitto_will_set(client_, status.c_str(), 7, "offline", 1, true);
  if (rc != MOSQ_ERR_SUCCESS) return error = "MQTT client: " + ReasonText(rc), false;
  thread_ = std::thread(&TMqttEvents::Run, this);
  return true;
}

bool TMqttEvents::Stop(std::chrono::milliseconds grace) {
  std::unique_lock lock(mutex_);
  if (!thread_.joinable()) return true;
  if (!stopping_) {
    stopping_ = true;
    stop_by_ = Clock::now() + grace;
  }
  Wake();
  ended_.wait_for(lock, grace + std::chrono::milliseconds(500), [this] { return thread_ended_; });
  if (!thread_ended_) return false;
  lock.unlock();
  thread_.join();
  return true;
}

Text TMqttEvents::Where() const {
  const Text& host = settings_.Url.Host;
  return (host.find(':') != Text::npos ? "[" + host + "]" : host) + ":" +
         IntToText(settings_.Url.Port);
}

void TMqttEvents::Wake() {
  const uint64_t one = 1;
  // Never blocks: the counter is far from full, and a failed write leaves it non-zero anyway.
  [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

TMqttEvents::TCamera& TMqttEvents::CameraOf(const Text& name) {
  auto [it, added] = cameras_.try_emplace(name.empty() ? settings_.LoneName : name);
  TCamera& camera = it->second;
  if (added) {
    camera.Level = TopicLevel(it->first);
    camera.Id = ObjectId(it->first);
  }
  if (added || camera.GoneDue) {
    camera.GoneDue = false;
    camera.ConfigDue = true;
    MarkDue(it->first, camera);
  }
  return camera;
}

void TMqttEvents::MarkDue(const Text& name, TCamera& camera) {
  if (camera.Queued) return;
  camera.Queued = true;
  due_.push_back(name);
}

void TMqttEvents::Began(const Text& camera, const Text&) {
  std::lock_guard lock(mutex_);
  CameraOf(camera);
  Wake();
}

void TMqttEvents::Gone(const Text& name) {
  std::lock_guard lock(mutex_);
  TCamera& camera = CameraOf(name);
  camera.GoneDue = true;
  camera.State.clear();
  camera.ImagePath.clear();
  MarkDue(name.empty() ? settings_.LoneName : name, camera);
  Wake();
}

void TMqttEvents::StateChanged(const Text& name, const TCameraStateNote& note) {
  const Text shown = name.empty() ? settings_.LoneName : name;
  Text json = "{\"camera\":" + JsonString(shown) +
              ",\"state\":" + JsonString(CameraStateName(note.State)) +
              ",\"detail\":" + JsonString(note.Detail) + ",\"since\":" + JsonTime(note.Since) +
              ",\"until\":" + JsonTime(note.Until) + "}";
  std::lock_guard lock(mutex_);
  TCamera& camera = CameraOf(name);
  camera.State = std::move(json);
  camera.StateDue = true;
  MarkDue(shown, camera);
  Wake();
}

void TMqttEvents::Fetched(const Text& name, const TJobOutcome& outcome, std::time_t when,
                          int64_t ms) {
  if (outcome.Kind != TJobOutcome::TKind::Stored) return;
  const Text shown = name.empty() ? settings_.LoneName : name;
  TMessage message;
  message.Payload = "{\"camera\":" + JsonString(shown) + ",\"path\":" + JsonString(outcome.Path) +
                    ",\"bytes\":" + IntToText(outcome.Bytes) + ",\"time\":" + JsonTime(when) +
                    ",\"ms\":" + IntToText(ms) + "}";
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  TCamera& camera = CameraOf(name);
  message.Topic = settings_.Url.Prefix + "/" + camera.Level + "/stored";
  if (stored_.size() >= kMaxQueued) {
    stored_.pop_front();
    ++dropped_;
  }
  stored_.push_back(std::move(message));
  // Home Assistant shows the last picture; a camera that stores every second need not send
  // every one of them.
  if (settings_.ImageMaxBytes > 0 && outcome.Bytes <= settings_.ImageMaxBytes &&
      now >= camera.NextImage) {
    camera.NextImage = now + kImageEvery;
    camera.ImagePath = outcome.Path;
    camera.ImageDue = true;
    MarkDue(shown, camera);
  }
  Wake();
}

void TMqttEvents::CameraMessages(const Text& name, TCamera& camera, std::deque<TMessage>& out) {
  const Text base = settings_.Url.Prefix + "/" + camera.Level;
  const Text discovery = settings_.Discovery;
  const Text image_config = discovery + "/image/" + node_ + "/" + camera.Id + "/config";
  const Text sensor_config = discovery + "/sensor/" + node_ + "/" + camera.Id + "/config";
  if (camera.GoneDue) {
    // Empty retained messages: the broker forgets them, Home Assistant removes the entities.
    if (!discovery.empty()) {
      out.push_back({image_config, "", true, ""});
      out.push_back({sensor_config, "", true, ""});
    }
    out.push_back({base + "/state", "", true, ""});
    out.push_back({base + "/image", "", true, ""});
    return;
  }
  if (camera.ConfigDue && !discovery.empty()) {
    const Text unique = node_ + "_" + camera.Id;
    const Text common = ",\"availability_topic\":" + JsonString(settings_.Url.Prefix + "/status") +
                        ",\"device\":{\"identifiers\":[" + JsonString(unique) +
                        "],\"name\":" + JsonString(name) +
                        ",\"manufacturer\":\"Tessaly\",\"model\":\"tessaly-capture\"}}";
    if (settings_.ImageMaxBytes > 0)
      out.push_back({image_config,
                     "{\"name\":\"Picture\",\"unique_id\":" + JsonString(unique + "_picture") +
                         ",\"image_topic\":" + JsonString(base + "/image") +
                         ",\"content_type\":\"image/jpeg\"" + common,
                     true, ""});
    out.push_back({sensor_config,
                   "{\"name\":\"State\",\"unique_id\":" + JsonString(unique + "_state") +
                       ",\"state_topic\":" + JsonString(base + "/state") +
                       ",\"value_template\":\"{{ value_json.state }}\""
                       ",\"json_attributes_topic\":" +
                       JsonString(base + "/state") + ",\"icon\":\"mdi:cctv\"" + common,
                   true, ""});
  }
  if (camera.StateDue && !camera.State.empty())
    out.push_back({base + "/state", camera.State, true, ""});
  if (camera.ImageDue && !camera.ImagePath.empty())
    out.push_back({base + "/image", "", true, camera.ImagePath});
  camera.ConfigDue = camera.StateDue = camera.ImageDue = false;
}

bool TMqttEvents::TakeDue() {
  std::lock_guard lock(mutex_);
  if (status_due_) {
    status_due_ = false;
    ready_.push_back({settings_.Url.Prefix + "/status", "online", true, ""});
    return true;
  }
  while (!due_.empty()) {
    const Text name = due_.front();
    due_.pop_front();
    const auto it = cameras_.find(name);
    if (it == cameras_.end()) continue;
    it->second.Queued = false;
    CameraMessages(name, it->second, ready_);
    if (it->second.GoneDue) cameras_.erase(it);
    if (!ready_.empty()) return true;
  }
  if (stored_.empty()) return false;
  ready_.push_back(std::move(stored_.front()));
  stored_.pop_front();
  return true;
}

bool TMqttEvents::PublishDue() {
  while (in_flight_.size() < kMaxInFlight && in_flight_bytes_ < kMaxInFlightBytes) {
    if (ready_.empty() && !TakeDue()) return false;
    TMessage& message = ready_.front();
    if (!message.ImagePath.empty() &&
        !ReadPicture(message.ImagePath, settings_.ImageMaxBytes, message.Payload)) {
      ready_.pop_front();  // removed meanwhile, or grown past the bound
      continue;
    }
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, message.Topic.c_str(),
                                     static_cast<int>(message.Payload.size()),
                                     message.Payload.data(), 1, message.Retain);
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_NOMEM) return true;  // kept for the next try
    if (rc == MOSQ_ERR_SUCCESS) {
      in_flight_[mid] = message.Payload.size();
      in_flight_bytes_ += message.Payload.size();
    }
    ready_.pop_front();  // sent, or one the broker could never take (too large)
  }
  return true;
}

void TMqttEvents::OnConnect(mosquitto*, void* self, int rc) {
  auto& me = *static_cast<TMqttEvents*>(self);
  me.connecting_ = false;
  if (rc != 0) {
    // The broker closes the connection after this; the retries go on at their pace.
    const Text why = mosquitto_connack_string(rc);
    if (why != me.refused_told_)
      me.say_(true, "mqtt: the broker at " + me.Where() + " refused the connection: " + why);
    me.refused_told_ = why;
    me.outage_told_ = true;
    return;
  }
  me.connected_ = true;
  me.backoff_ = std::chrono::seconds(1);
  me.refused_told_.clear();
  int64_t dropped = 0;
  {
    // A broker that restarted without its retained messages gets them all again.
    std::lock_guard lock(me.mutex_);
    me.status_due_ = true;
    for (auto& [name, camera] : me.cameras_) {
      camera.ConfigDue = camera.StateDue = true;
      camera.ImageDue = !camera.ImagePath.empty();
      me.MarkDue(name, camera);
    }
    dropped = me.dropped_;
    me.dropped_ = 0;
  }
  if (me.outage_told_)
    me.say_(false, "mqtt: connected to " + me.Where() + " again; " + IntToText(dropped) +
                       " stored-picture messages dropped meanwhile");
  else if (!me.ever_connected_)
    me.say_(false,
            "mqtt: connected to " + me.Where() + ", topics under " + me.settings_.Url.Prefix + "/");
  me.outage_told_ = false;
  me.ever_connected_ = true;
}

void TMqttEvents::OnPublish(mosquitto*, void* self, int mid) {
  auto& me = *static_cast<TMqttEvents*>(self);
  if (mid == me.offline_mid_) me.offline_acked_ = true;
  const auto it = me.in_flight_.find(mid);
  if (it == me.in_flight_.end()) return;
  me.in_flight_bytes_ -= it->second;
  me.in_flight_.erase(it);
}

void TMqttEvents::Lost(const Text& why) {
  connected_ = connecting_ = false;
  // The library sends again what it holds unacknowledged; the bound starts afresh.
  in_flight_.clear();
  in_flight_bytes_ = 0;
  offline_mid_ = -1;
  if (!outage_told_)
    say_(true, "mqtt: no connection to " + Where() + " (" + why +
                   "); capturing goes on, and up to " + IntToText(kMaxQueued) +
                   " stored-picture messages wait for the broker");
  outage_told_ = true;
}

bool TMqttEvents::Connect(Clock::time_point& next_try) {
  if (connected_ || connecting_) return true;
  if (Clock::now() < next_try) return false;
  // The name lookup blocks this thread alone; the connection itself is made without waiting.
  const int rc = mosquitto_connect_async(client_, settings_.Url.Host.c_str(), settings_.Url.Port,
                                         kKeepAliveSeconds);
  if (rc == MOSQ_ERR_SUCCESS) {
    connecting_ = true;
    return true;
  }
  Lost(ReasonText(rc));
  next_try = Clock::now() + backoff_;
  backoff_ = std::min(backoff_ * 2, kLongestBackoff);
  return false;
}

void TMqttEvents::Run() {
  // As the jobs do: on a busy machine the loop that ticks the cameras goes first.
  LowerCurrentThreadPriority();
  Clock::time_point next_try = Clock::now();
  for (;;) {
    bool stopping = false;
    Clock::time_point stop_by;
    {
      std::lock_guard lock(mutex_);
      stopping = stopping_;
      stop_by = stop_by_;
    }
    const auto now = Clock::now();
    // Stopping, nothing more can be sent without a connection; a connection that was lost had
    // its will say "offline" already.
    if (stopping && (!connected_ || now >= stop_by)) break;
    if (!stopping) Connect(next_try);
    if (connected_ && PublishDue() == false && stopping && offline_mid_ < 0) {
      const Text status = settings_.Url.Prefix + "/status";
      mosquitto_publish(client_, &offline_mid_, status.c_str(), 7, "offline", 1, true);
    }
    if (stopping && offline_acked_) {
      mosquitto_disconnect(client_);
      break;
    }
    const int socket = mosquitto_socket(client_);
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {socket, POLLIN, 0}};
    if (socket >= 0 && mosquitto_want_write(client_)) fds[1].events |= POLLOUT;
    auto wait = std::chrono::milliseconds(1000);
    if (socket < 0)
      wait = std::max(std::chrono::milliseconds(0),
                      std::chrono::duration_cast<std::chrono::milliseconds>(next_try - now));
    if (stopping)
      wait = std::min(
          wait, std::max(std::chrono::milliseconds(0),
                         std::chrono::duration_cast<std::chrono::milliseconds>(stop_by - now)));
    poll(fds, socket >= 0 ? 2 : 1, static_cast<int>(std::min<int64_t>(wait.count(), 1000)));
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = read(wake_fd_, &count, sizeof count);
    }
    if (socket < 0) continue;
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(client_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (fds[1].revents & POLLOUT)) rc = mosquitto_loop_write(client_, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(client_);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) < 0) {
      Lost(rc == MOSQ_ERR_SUCCESS ? Text("closed") : ReasonText(rc));
      next_try = Clock::now() + backoff_;
      backoff_ = std::min(backoff_ * 2, kLongestBackoff);
    }
  }
  std::lock_guard lock(mutex_);
  thread_ended_ = true;
  ended_.notify_all();
}

}  // namespace tessaly
