#include "capture/window/errordisplay.h"

namespace tessaly {

Text ErrorDisplayText(const Text& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

}  // namespace tessaly
