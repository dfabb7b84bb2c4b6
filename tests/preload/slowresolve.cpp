// Loaded before the program under test: looking up the name slow.test takes 30 s, as behind a
// name server that does not answer; every other name is looked up as usual.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  using TLookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto next = reinterpret_cast<TLookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && std::strcmp(node, "slow.test") == 0) {
    sleep(30);
    return EAI_AGAIN;
  }
  return next(node, service, hints, result);
}
