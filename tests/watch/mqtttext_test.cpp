// The broker's address as administrators write it, and the names made from camera names.
#include "watch/mqtttext.h"

#include <gtest/gtest.h>

namespace tessaly {
namespace {

struct UrlCase {
  const char* text;
  // Host, port, user, password, prefix as read; or the error's start when refused.
  const char* host;
  int port;
  const char* user;
  const char* password;
  const char* prefix;
};

TEST(MqttText, AddressesAsWritten) {
  const UrlCase cases[] = {
      {"mqtt://broker.lan", "broker.lan", 1883, "", "", "tessaly"},
      {"MQTTS://broker.lan/site/cams/", "broker.lan", 8883, "", "", "site/cams"},
      {"mqtt://u:p%40ss:w@[::1]:1884/t", "::1", 1884, "u", "p@ss:w", "t"},
      {"mqtt://a@b@h/t", "h", 1883, "a@b", "", "t"},
      {"http://h/t", "the address must start", 0, "", "", ""},
      {"mqtt://h:0/t", "the port is not within", 0, "", "", ""},
      {"mqtt://h:/t", "no port", 0, "", "", ""},
      {"mqtt://u:p%4@h/t", "a bad %-escape", 0, "", "", ""},
      {"mqtt://:p@h/t", "an empty user", 0, "", "", ""},
      {"mqtt://h/a/+/b", "the topic prefix", 0, "", "", ""},
      {"mqtt://h/a//b", "the topic prefix", 0, "", "", ""},
      {"mqtt://h/$SYS", "the topic prefix", 0, "", "", ""},
      {"mqtt://[::1/t", "no \"]\"", 0, "", "", ""},
  };
  for (const UrlCase& c : cases) {
    TMqttUrl url;
    Text error;
    const bool ok = ParseMqttUrl(c.text, url, error);
    EXPECT_EQ(ok, c.port != 0) << c.text << ": " << error;
    if (!ok) {
      EXPECT_EQ(error.rfind(c.host, 0), 0u) << c.text << ": " << error;
      EXPECT_EQ(error.find("p%4"), Text::npos) << error;
      continue;
    }
    EXPECT_EQ(url.Host, c.host) << c.text;
    EXPECT_EQ(url.Port, c.port) << c.text;
    EXPECT_EQ(url.User, c.user) << c.text;
    EXPECT_EQ(url.Password, c.password) << c.text;
    EXPECT_EQ(url.Prefix, c.prefix) << c.text;
  }
}

TEST(MqttText, NamesStayApart) {
  EXPECT_EQ(TopicLevel("gate"), "gate");
  EXPECT_EQ(TopicLevel("a+b#c/d%e"), "a%2Bb%23c%2Fd%25e");
  EXPECT_EQ(TopicLevel("K\xc3\xbc\x63he\xff"), "K\xc3\xbc\x63he%FF");
  EXPECT_EQ(ObjectId("front-door_1"), "front-door_1");
  EXPECT_NE(ObjectId("a+b"), ObjectId("a#b"));
  EXPECT_EQ(ObjectId("a+b").substr(0, 4), "a_b_");
  EXPECT_EQ(JsonString("a\"\\\n\xff\xc3\xa4"), "\"a\\\"\\\\\\u000a\xef\xbf\xbd\xc3\xa4\"");
}

}  // namespace
}  // namespace tessaly
