// The gang's probes, on a thread beside its loop.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "gang/gang.h"
#include "link/discovery.h"
#include "link/port_names.h"

struct prober {
    std::thread thread;
    std::mutex lock;
    std::condition_variable asked;
    std::string port;          // the port asked about
    bool pending = false;      // asked, not taken up yet
    bool running = false;      // asked and not answered yet
    bool answered = false;     // an answer waits to be taken
    bool answers = false;
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
        std::string port = p->port;
        hold.unlock();
        bool answers = probe_port(current_port_name(port).c_str()) != 0;  // a stable name: where it leads now
        hold.lock();
        p->answers = answers;
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

bool prober_ask(prober* p, const std::string& port)
{
    std::lock_guard<std::mutex> hold(p->lock);
    if (p->running)
        return false;
    p->port = port;
    p->pending = p->running = true;
    p->asked.notify_one();
    return true;
}

bool prober_answer(prober* p, std::string& port, bool& answers)
{
    std::lock_guard<std::mutex> hold(p->lock);
    if (!p->answered)
        return false;
    p->answered = p->running = false;
    port = p->port;
    answers = p->answers;
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
