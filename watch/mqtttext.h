// The texts of the broker's events: the broker's address as an administrator writes it, topic
// levels and Home Assistant ids made from camera names, and JSON strings. Pure functions.
#pragma once

#include <cstdint>
#include <ctime>

#include "base/text.h"

namespace tessaly {

// mqtt://[user[:password]@]host[:port][/prefix] or mqtts://... (TLS).
struct TMqttUrl {
  bool Tls = false;
  Text User;  // %-decoded; empty: no user
  Text Password;
  bool HasPassword = false;
  Text Host;  // an IPv6 address without its brackets
  int Port = 1883;
  // The topics' first levels, without a "/" at either end ("tessaly" when the URL has none).
  Text Prefix = "tessaly";
};

// False, with error saying why (never quoting the user or password), for anything else. The
// port defaults to 1883 (8883 for mqtts); the prefix may have several levels ("site/cams") but
// no empty one, no "+", "#", control byte or byte that is not UTF-8, and no leading "$".
bool ParseMqttUrl(const Text& text, TMqttUrl& url, Text& error);

// A topic prefix as ParseMqttUrl takes one (also for Home Assistant's discovery prefix).
bool ValidTopicPrefix(const Text& prefix);

// name as one topic level: "%", "+", "#", "/", control bytes and bytes that are not UTF-8
// written as %XX, everything else as it is. Two names never give the same level.
Text TopicLevel(const Text& name);

// name as a Home Assistant object id ([A-Za-z0-9_-]): every other byte becomes "_", and a name
// that had to change gets "_" and eight hex digits of its hash, so that two names stay apart.
Text ObjectId(const Text& name);

// "2026-12-08T13:03:05Z"; a JSON null for 0.
Text JsonTime(std::time_t when);

}  // namespace tessaly
