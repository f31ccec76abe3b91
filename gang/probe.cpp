// The gang's probes, on a thread beside its loop.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "gang/gang.h"
#include "gang/slots.h"
#include "link/port_names.h"

struct prober {
    std::thread thread;
    std::mutex lock;
    std::condition_variable asked;
    std::string port;          // the port asked about
    bool read_unit = false;    // a unit that answers is read too
    slot_memory memory;        // what the gang knows of the slot
    bool pending = false;      // asked, not taken up yet
    bool running = false;      // asked and not answered yet
    bool answered = false;     // an answer waits to be taken
    slot_look look;
    bool stopping = false;
};

namespace {

void probe_loop(prober* p)
{
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        p->asked.wait(hold, [p] { return p->pending || p->stopping; });
        if (p->stopping)
            return;
        p->pending = false;
        const std::string port = p->port;
        const bool read_unit = p->read_unit;
        const slot_memory memory = p->memory;
        hold.unlock();
        slot_look look;
        look_at_slot(current_port_name(port), read_unit, memory, look);  // a stable name: where it leads now
        hold.lock();
        p->look = look;
        p->answered = true;
    }
}

}  // namespace

prober* prober_start()
{
    prober* p = new prober;
    p->thread = std::thread(probe_loop, p);
    return p;
}

bool prober_ask(prober* p, const std::string& port, bool read_unit, const slot_memory& memory)
{
    std::lock_guard<std::mutex> hold(p->lock);
    if (p->running)
        return false;
    p->port = port;
    p->read_unit = read_unit;
    p->memory = memory;
    p->pending = p->running = true;
    p->asked.notify_one();
    return true;
}

bool prober_answer(prober* p, std::string& port, slot_look& look)
{
    std::lock_guard<std::mutex> hold(p->lock);
    if (!p->answered)
        return false;
    p->answered = p->running = false;
    port = p->port;
    look = p->look;
    return true;
}

void prober_stop(prober* p)
{
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->stopping = true;
        p->asked.notify_one();
    }
    p->thread.join();
    delete p;
}
