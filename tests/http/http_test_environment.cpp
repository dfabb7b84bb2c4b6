// The socket layer is started once for the whole test program, as the application does at
// start-up; without it name resolution has no IPv6.
#include <gtest/gtest.h>

#include <memory>

#include "net/sockapi.h"

namespace tessaly {
namespace {

class SocketLayerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { StartSocketLayer(); }
  void TearDown() override { StopSocketLayer(); }
};

// GoogleTest takes ownership of the environment.
[[maybe_unused]] ::testing::Environment* const kSocketLayer =
    ::testing::AddGlobalTestEnvironment(std::make_unique<SocketLayerEnvironment>().release());

}  // namespace
}  // namespace tessaly
