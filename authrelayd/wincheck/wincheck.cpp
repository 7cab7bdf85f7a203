// Links the Windows units into one program, so that the cross-build proves
// every Windows call they make resolves against the system libraries. Run on
// Windows it starts and joins a thread, queues a message and formats a
// system error text.
#include <cstdio>

#include "list.h"
#include "log.h"
#include "queue.h"
#include "reqmsg.h"
#include "thread.h"

using namespace authrelay;

namespace {
uint32_t Routine(void *) { return 3; }
} // namespace

int wmain(int, wchar_t **)
{
    ThreadRecord record;
    StartThread(record, Routine, nullptr);
    uint32_t code = JoinThread(record, 5000);
    CloseThread(record);

    QueueImpl queue;
    queue.Enqueue(CreateMessage(kMsgEndSession));
    auto message = queue.Dequeue();

    std::u16string text = SystemErrorText(5);
    std::printf("thread exit %u, message type %u, error 5 text of %u units\n", code,
                message ? message->GetType() : 0u, static_cast<unsigned>(text.size()));
    return code == 3 && message ? 0 : 1;
}
