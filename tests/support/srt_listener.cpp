// An SRT listener for the network tests that checks its callers as a server's access control
// does: one with another stream ID, or none, is refused as asking for a stream it does not have.
// One let in is let go at once, as by a server with nothing to send.
// Usage: lumivane_srt_listener PORT STREAM_ID
#include <arpa/inet.h>
#include <srt/access_control.h>
#include <srt/srt.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  srt_startup();
  const SRTSOCKET listener = srt_create_socket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto check = [](void* wanted, SRTSOCKET caller, int, const sockaddr*, const char* id) {
    if (std::strcmp(id, static_cast<const char*>(wanted)) == 0) return 0;
    srt_setrejectreason(caller, SRT_REJX_NOTFOUND);
    return -1;
  };
  if (srt_bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      srt_listen_callback(listener, check, argv[2]) != 0 || srt_listen(listener, 4) != 0) {
    return 1;
  }
  for (;;) {
    const SRTSOCKET caller = srt_accept(listener, nullptr, nullptr);
    if (caller == SRT_INVALID_SOCK) sleep(1);
    srt_close(caller);
  }
}
