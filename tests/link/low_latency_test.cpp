// The POSIX port asks the driver for low latency when it opens a port and gives the driver's
// setting back when it closes it. Linked with -Wl,--wrap=ioctl: every ioctl of the port layer
// passes through the recorder below to the real call, on a real pseudo-terminal (which
// refuses the request); a case can stand in for a driver that knows it.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "link/os_port.h"
#include "support/support.h"

extern "C" int __real_ioctl(int fd, unsigned long request, void* arg);

namespace {

enum driver_kind { PSEUDO_TERMINAL, KNOWS_LOW_LATENCY, REFUSES_CHANGE, ALREADY_LOW };

struct recorder {
    driver_kind driver = PSEUDO_TERMINAL;
    int get_calls = 0;
    std::vector<int> set_flags;  // the flags of every TIOCSSERIAL, in order
} ioctls;

}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, void* arg)
{
    if (request != TIOCGSERIAL && request != TIOCSSERIAL)
        return __real_ioctl(fd, request, arg);
    if (ioctls.driver == PSEUDO_TERMINAL) {  // the real answer: a refusal
        if (request == TIOCGSERIAL)
            ioctls.get_calls++;
        else
            ioctls.set_flags.push_back(-1);
        return __real_ioctl(fd, request, arg);
    }
    auto* serial = static_cast<serial_struct*>(arg);
    if (request == TIOCGSERIAL) {
        ioctls.get_calls++;
        *serial = serial_struct{};
        serial->flags = ioctls.driver == ALREADY_LOW ? ASYNC_LOW_LATENCY | ASYNC_SKIP_TEST : ASYNC_SKIP_TEST;
        return 0;
    }
    ioctls.set_flags.push_back(serial->flags);
    if (ioctls.driver == REFUSES_CHANGE) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

namespace {

TEST(port_latency, low_latency_is_asked_for_on_open_and_given_back_on_close)
{
    const struct {
        const char* name;
        driver_kind driver;
        std::vector<int> set_flags;  // TIOCSSERIAL calls from open to close
    } table[] = {
        {"a pseudo-terminal refuses: left alone", PSEUDO_TERMINAL, {}},
        {"a driver that knows it: on, then back", KNOWS_LOW_LATENCY,
         {ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY, ASYNC_SKIP_TEST}},
        {"a driver that refuses the change: nothing to give back", REFUSES_CHANGE,
         {ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY}},
        {"already low latency: untouched", ALREADY_LOW, {}},
    };
    temp_dir dev;
    scoped_env env{"PELMO4RIX_DEVICE_DIR", dev.path};
    far_end unit;
    unit.link_as(dev.path, "COM7");
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        ioctls = recorder{c.driver, 0, {}};
        os_port* port = os_port_open("COM7");
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(ioctls.get_calls, 1);
        // The port works as before: a byte crosses it.
        const uint8_t byte = 0x5A;
        EXPECT_EQ(os_port_write(port, &byte, 1), 1);
        EXPECT_EQ(unit.read(1, 1000), std::vector<uint8_t>{byte});
        os_port_close(port);
        EXPECT_EQ(ioctls.set_flags, c.set_flags);
    }
}

}  // namespace
