// Arbitrary byte streams through ReqMsg::Receive over a real socket pair,
// read message by message until the stream ends or the reader refuses it.
// Logging runs at trace level into /dev/null so that the log formatting of
// received values is exercised too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "reqmsg.h"

using namespace authrelay;

namespace {

// More than a socket pair buffers would block the single-threaded writer.
constexpr size_t kMaxInput = 60000;

void SetUpLogging()
{
    char folder[] = "/tmp/authrelay-fuzz.XXXXXX";
    if (!mkdtemp(folder))
        abort();
    std::string config = std::string(folder) + "/log.properties";
    std::ofstream(config) << "log4j.rootLogger=OFF\n"
                             "log4j.logger.authrelay=TRACE, N\n"
                             "log4j.appender.N=org.apache.log4j.FileAppender\n"
                             "log4j.appender.N.File=/dev/null\n"
                             "log4j.appender.N.layout=org.apache.log4j.PatternLayout\n"
                             "log4j.appender.N.layout.ConversionPattern=%p %m%n\n";
    std::u16string path(config.begin(), config.end());
    if (!SetupLogging(path.c_str(), u"authrelay"))
        abort();
    // Read now; nothing is left behind in /tmp.
    unlink(config.c_str());
    rmdir(folder);
}

void Inspect(ReqMsg &m)
{
    String text;
    Blob bytes;
    uint16_t info;
    uint8_t low;
    m.GetPrincipal(text);
    m.GetPackage(text);
    m.GetToken(bytes);
    m.GetIdentifier(bytes);
    m.GetError();
    m.GetVersion(&low);
    m.GetServerInfo(info);
    m.GetClientInfo(info);
    if (m.GetType() > 6)
        abort(); // the reader lets no other type through
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    SetUpLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kMaxInput)
        size = kMaxInput;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fds[1], data + done, size - done);
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR); // the reader sees the end after the input
    try {
        while (auto m = ReqMsg::Receive(fds[0]))
            Inspect(*m);
    } catch (long) {
        // A refused message: the connection would end here.
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}
