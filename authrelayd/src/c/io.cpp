#include "io.h"

#include <memory>
#include <mutex>
#include <unordered_map>

#include "log.h"

namespace authrelay {

namespace {

constexpr char kLogUnit[] = "src/c/io";

// One write lock per socket value. Locks are never removed: socket values are
// reused, so the table stays as small as the set of values ever open at once,
// and a lock is never freed under a writer.
std::mutex &WriteLockFor(Socket socket)
{
    static std::mutex tableLock;
    static std::unordered_map<Socket, std::unique_ptr<std::mutex>> locks;
    std::lock_guard<std::mutex> guard(tableLock);
    auto &lock = locks[socket];
    if (!lock)
        lock = std::make_unique<std::mutex>();
    return *lock;
}

} // namespace

int ReadFull(Socket socket, void *destination, size_t n)
{
    unsigned char *at = static_cast<unsigned char *>(destination);
    while (n > 0) {
        uint32_t error = 0;
        long got = io_platform::Receive(socket, at, n, &error);
        if (got == 0) {
            AR_LOG_SYSTEM(kLogTrace, io_platform::LastError(), u"Connection closed");
            return 0;
        }
        if (got < 0) {
            if (io_platform::IsTerminated(error)) {
                AR_LOG(kLogTrace, u"Read terminated");
                return 0;
            }
            AR_LOG_SYSTEM(kLogWarning, error, u"recv failed");
            return static_cast<int>(got);
        }
        at += got;
        n -= static_cast<size_t>(got);
    }
    return 1;
}

int WriteFull(Socket socket, const void *source, size_t n)
{
    std::lock_guard<std::mutex> guard(WriteLockFor(socket));
    const unsigned char *at = static_cast<const unsigned char *>(source);
    while (n > 0) {
        uint32_t error = 0;
        long sent = io_platform::Send(socket, at, n, &error);
        if (sent <= 0) {
            AR_LOG_SYSTEM(kLogWarning, error, u"send failed");
            return 0;
        }
        at += sent;
        n -= static_cast<size_t>(sent);
    }
    return 1;
}

} // namespace authrelay
