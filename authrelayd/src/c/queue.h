// A connection's first-in first-out queue of received messages.
#pragma once

#include <memory>

#include "list.h"
#include "reqmsg.h"

namespace authrelay {

class Queue {
public:
    virtual ~Queue() = default;
    // Throws a failure code; the message is destroyed then.
    virtual void Enqueue(std::unique_ptr<ReqMsg> message) = 0;
    // The oldest message, now the caller's, or null when the queue is empty.
    virtual std::unique_ptr<ReqMsg> Dequeue() = 0;
};

class QueueImpl final : public Queue {
public:
    QueueImpl();
    // Messages still queued are destroyed with the queue.
    ~QueueImpl() override;
    void Enqueue(std::unique_ptr<ReqMsg> message) override;
    std::unique_ptr<ReqMsg> Dequeue() override;

private:
    std::unique_ptr<ListImpl> list_;
};

} // namespace authrelay
