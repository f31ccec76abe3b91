// What `pelmo4rix ports` tells of the adapter behind a port, read from a device tree laid out
// as Linux describes its serial devices (made here in a temporary directory).
#include <sys/stat.h>
#include <unistd.h>

#include "cli/os.h"
#include "support/support.h"

namespace {

// system/class/tty/TTY/device -> a port directory under system/devices, with the USB device
// (idVendor, idProduct) two levels above it, as a USB serial adapter appears.
void describe_port(const std::string& system, const std::string& tty, const std::string& driver,
                   const std::string& latency)
{
    std::string usb = system + "/devices/usb1/1-1", port = usb + "/1-1:1.0/" + tty;
    for (const std::string& d : {system + "/devices", system + "/devices/usb1", usb, usb + "/1-1:1.0", port,
                                 system + "/bus", system + "/bus/drivers", system + "/class", system + "/class/tty",
                                 system + "/class/tty/" + tty})
        mkdir(d.c_str(), 0755);
    write_file(usb + "/idVendor", "0403\n");
    write_file(usb + "/idProduct", "6001\n");
    if (!latency.empty())
        write_file(port + "/latency_timer", latency + "\n");
    mkdir((system + "/bus/drivers/" + driver).c_str(), 0755);
    symlink((system + "/bus/drivers/" + driver).c_str(), (port + "/driver").c_str());
    symlink(port.c_str(), (system + "/class/tty/" + tty + "/device").c_str());
}

TEST(ports, the_adapter_behind_a_port_as_the_system_describes_it)
{
    temp_dir system, dev;
    scoped_env env{"PELMO4RIX_DEVICE_DIR", dev.path};
    describe_port(system.path, "ttyUSB0", "ftdi_sio", "16");
    describe_port(system.path, "ttyUSB1", "cp210x", "");
    const struct {
        const char* port;    // linked in the device directory to dev/<target>
        const char* target;  // empty: no such device file
        port_adapter expected;
    } table[] = {
        {"COM7", "ttyUSB0", {"ftdi_sio", "0403:6001", 16}},
        {"COM8", "ttyUSB1", {"cp210x", "0403:6001", -1}},  // a driver without a latency timer
        {"COM9", "pts7", {}},                               // no description: a pseudo-terminal
        {"COM10", "", {}},                                  // no such port
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.port);
        if (*c.target) {
            write_file(dev / c.target, "");
            symlink((dev / c.target).c_str(), (dev / c.port).c_str());
        }
        port_adapter a = adapter_of(c.port, system.path);
        EXPECT_EQ(a.driver, c.expected.driver);
        EXPECT_EQ(a.usb_id, c.expected.usb_id);
        EXPECT_EQ(a.latency_timer_ms, c.expected.latency_timer_ms);
    }
}

}  // namespace
