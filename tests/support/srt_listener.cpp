// An SRT listener for the network tests that checks its callers as an SRT server's access
// control does: a caller with another stream ID, or none, is refused before its connection is
// made, with the code a server gives for a stream it does not have.
// Usage: lumivane_srt_listener PORT STREAM_ID
#include <arpa/inet.h>
#include <srt/access_control.h>
#include <srt/srt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int checkCaller(void* wanted, SRTSOCKET caller, int, const sockaddr*, const char* streamId) {
  if (std::strcmp(streamId, static_cast<const char*>(wanted)) == 0) return 0;
  srt_setrejectreason(caller, SRT_REJX_NOTFOUND);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT STREAM_ID\n", argv[0]);
    return 2;
  }
  srt_startup();
  const SRTSOCKET listener = srt_create_socket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (srt_bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      srt_listen_callback(listener, checkCaller, argv[2]) != 0 || srt_listen(listener, 4) != 0) {
    std::fprintf(stderr, "%s\n", srt_getlasterror_str());
    return 1;
  }
  // A caller let in is held, and sent nothing; the tests kill the listener.
  for (;;) {
    sockaddr_storage peer;
    int size = sizeof peer;
    if (srt_accept(listener, reinterpret_cast<sockaddr*>(&peer), &size) == SRT_INVALID_SOCK) {
      sleep(1);
    }
  }
}
