// Socket shutdown and close for the dispatcher on POSIX.
#include <sys/socket.h>
#include <unistd.h>

#include "dispatcher.h"

namespace authrelay::dispatcher_platform {

void ShutdownSocket(Socket socket) { ::shutdown(socket, SHUT_RDWR); }

void CloseSocket(Socket socket) { ::close(socket); }

} // namespace authrelay::dispatcher_platform
