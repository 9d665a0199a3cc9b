// The listening socket of the Windows build, bound for exclusive use.
#include "print_service/http_api/http_api.h"

#include "common/windows_include.h"

httplib::SocketOptions ExclusivePortSocketOptions() {
  return [](socket_t sock) {
    BOOL on = TRUE;
    (void)setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
  };
}
