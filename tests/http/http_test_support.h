// Helpers shared by the HTTP client tests: wire texts, peer addresses, a client with a short
// time limit, and the socket layer started once for the whole test program.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "http/httpclient.h"
#include "support/scriptedpeer.h"

namespace tessaly::httptest {

// Every line followed by CR LF, as a header block is written on the wire.
inline std::string Wire(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// Replaces every "{port}" by the port text.
inline std::string WithPort(std::string text, const std::string& port) {
  for (size_t at = text.find("{port}"); at != std::string::npos; at = text.find("{port}", at)) {
    text.replace(at, 6, port);
  }
  return text;
}

// "http://127.0.0.1:<port>" or "http://[::1]:<port>" followed by path.
inline std::string PeerUrl(const ScriptedPeer& peer, const std::string& path) {
  const std::string host =
      peer.Host().find(':') != std::string::npos ? "[" + peer.Host() + "]" : peer.Host();
  return "http://" + host + ":" + peer.PortText() + path;
}

// A client whose reads give up after timeout_ms, so that a fault cannot hang a test.
inline std::unique_ptr<THTTPClient> NewClient(int timeout_ms = 5000) {
  auto client = std::make_unique<THTTPClient>();
  client->SetTimeout(timeout_ms);
  return client;
}

inline std::string DocumentText(THTTPClient& client) {
  TByteBuffer& document = client.Document();
  return std::string(document.Memory(), static_cast<size_t>(document.Size()));
}

// The script every answer test starts with: wait for the end of the request's header block.
inline PeerScript AfterRequest(std::vector<PeerStep> answer) {
  PeerScript script{PeerStep::AwaitText("\r\n\r\n")};
  script.insert(script.end(), answer.begin(), answer.end());
  return script;
}

}  // namespace tessaly::httptest
