// Test fixture: a connected pair of real stream sockets.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace authrelay_test {

class SocketPair {
public:
    SocketPair()
    {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0)
            fds_[0] = fds_[1] = -1;
    }
    ~SocketPair()
    {
        CloseServer();
        ClosePeer();
    }
    int server() const { return fds_[0]; }
    int peer() const { return fds_[1]; }
    void CloseServer() { Close(0); }
    void ClosePeer() { Close(1); }

    // Writes bytes from the peer side.
    bool PeerWrite(const std::vector<uint8_t> &bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fds_[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads exactly n bytes on the peer side (fewer if the stream ends).
    std::vector<uint8_t> PeerRead(size_t n)
    {
        std::vector<uint8_t> out(n);
        size_t done = 0;
        while (done < n) {
            ssize_t got = read(fds_[1], out.data() + done, n - done);
            if (got <= 0)
                break;
            done += static_cast<size_t>(got);
        }
        out.resize(done);
        return out;
    }
    // True when the peer has nothing to read right now.
    bool PeerHasNothingPending()
    {
        uint8_t b;
        ssize_t n = recv(fds_[1], &b, 1, MSG_DONTWAIT);
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }

private:
    void Close(int i)
    {
        if (fds_[i] >= 0)
            close(fds_[i]);
        fds_[i] = -1;
    }
    int fds_[2];
};

} // namespace authrelay_test
