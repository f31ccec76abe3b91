// Ports as the system describes them: its list of serial devices, the stable names that follow
// an adapter's place or serial number, and the adapter behind a port. Read from a device
// directory and a system description made in temporary directories (support/fake_system.h).
#include "link/os_port.h"
#include "link/port_names.h"
#include "support/fake_system.h"

namespace {

constexpr char PLACE_1_2[] = "pci-0000:00:14.0-usb-0:1.2:1.0-port0";
constexpr char PLACE_1_3[] = "pci-0000:00:14.0-usb-0:1.3:1.0-port0";
constexpr char FTDI_ID[] = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

class port_names_test : public ::testing::Test {
protected:
    fake_system system;
    scoped_env dev_env{"PELMO4RIX_DEVICE_DIR", system.dev.path};
    scoped_env sys_env{"PELMO4RIX_SYSFS_DIR", system.sys.path};

    void SetUp() override
    {
        system.add({"ttyUSB0", "1-1.2", "ftdi_sio",
                    {{"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "A50285BI"}, {"product", "FT232R USB UART"}},
                    {{"latency_timer", "16"}}});
        // An adapter that tells less: no serial number, no product name, no latency timer.
        system.add({"ttyUSB1", "1-1.3", "cp210x", {{"idVendor", "10c4"}, {"idProduct", "ea60"}}, {}});
        // A port whose USB device files are missing altogether.
        system.add({"ttyUSB2", "1-1.4", "", {}, {}});
        system.link_stable("by-path", PLACE_1_2, "ttyUSB0");
        system.link_stable("by-path", PLACE_1_3, "ttyUSB1");
        system.link_stable("by-id", FTDI_ID, "ttyUSB0");
        write_file(system.dev / "COM9", "");  // a port the system does not describe
    }
};

TEST_F(port_names_test, a_stable_name_leads_to_the_port_it_names_now)
{
    const std::string by_path = std::string("serial/by-path/") + PLACE_1_2;
    const struct {
        const char* name;
        std::string given, expected;
    } table[] = {
        {"by its place", by_path, "ttyUSB0"},
        {"by its serial number", std::string("serial/by-id/") + FTDI_ID, "ttyUSB0"},
        {"a port name stands as it is", "ttyUSB1", "ttyUSB1"},
        {"a COM name stands as it is", "COM9", "COM9"},
        {"a stable name that leads nowhere", "serial/by-path/pci-0000:00:14.0-usb-0:9:1.0-port0",
         "serial/by-path/pci-0000:00:14.0-usb-0:9:1.0-port0"},
    };
    for (const auto& c : table)
        EXPECT_EQ(current_port_name(c.given), c.expected) << c.name;

    // A re-plug that swaps the adapters' numbers: the place now leads to ttyUSB1.
    system.link_stable("by-path", PLACE_1_2, "ttyUSB1");
    EXPECT_EQ(current_port_name(by_path), "ttyUSB1");
    // A link out of the device directory is not a port of it.
    symlink((system.sys / "class").c_str(), (system.dev / "serial/by-path/elsewhere").c_str());
    EXPECT_EQ(current_port_name("serial/by-path/elsewhere"), "serial/by-path/elsewhere");
}

TEST_F(port_names_test, stable_names_of_a_kind_in_name_order)
{
    EXPECT_EQ(stable_port_names("by-path"), (std::vector<std::string>{std::string("serial/by-path/") + PLACE_1_2,
                                                                       std::string("serial/by-path/") + PLACE_1_3}));
    EXPECT_EQ(stable_port_names("by-id"), (std::vector<std::string>{std::string("serial/by-id/") + FTDI_ID}));
    temp_dir empty;
    scoped_env none{"PELMO4RIX_DEVICE_DIR", empty.path};
    EXPECT_TRUE(stable_port_names("by-path").empty());
}

TEST_F(port_names_test, what_the_system_tells_of_a_port)
{
    const std::string ftdi_place = std::string("serial/by-path/") + PLACE_1_2;
    port_facts ftdi;
    ftdi.by_path = {ftdi_place};
    ftdi.by_id = {std::string("serial/by-id/") + FTDI_ID};
    ftdi.usb_id = "0403:6001";
    ftdi.serial = "A50285BI";
    ftdi.driver = "ftdi_sio";
    ftdi.product = "FT232R USB UART";
    ftdi.latency_timer_ms = 16;
    port_facts cp210x;
    cp210x.by_path = {std::string("serial/by-path/") + PLACE_1_3};
    cp210x.usb_id = "10c4:ea60";
    cp210x.driver = "cp210x";
    const struct {
        const char* name;
        port_facts expected;
    } table[] = {
        {"ttyUSB0", ftdi},
        {ftdi_place.c_str(), ftdi},  // the same port by its place
        {"ttyUSB1", cp210x},
        {"ttyUSB2", {}},  // described without its files: nothing told, nothing made up
        {"COM9", {}},     // not described at all (a pseudo-terminal's link, say)
        {"COM10", {}},    // no such port
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        port_facts f = facts_of_port(c.name);
        EXPECT_EQ(f.by_path, c.expected.by_path);
        EXPECT_EQ(f.by_id, c.expected.by_id);
        EXPECT_EQ(f.usb_id, c.expected.usb_id);
        EXPECT_EQ(f.serial, c.expected.serial);
        EXPECT_EQ(f.driver, c.expected.driver);
        EXPECT_EQ(f.product, c.expected.product);
        EXPECT_EQ(f.latency_timer_ms, c.expected.latency_timer_ms);
    }
}

// Without a device directory the system's serial devices are listed: USB adapters, then ACM
// modems, then built-in UARTs that have hardware behind them (type not 0), each in number order.
TEST(port_list, the_system_list_is_its_serial_devices_with_hardware)
{
    temp_dir sys;
    scoped_env no_dev{"PELMO4RIX_DEVICE_DIR", ""};
    scoped_env env{"PELMO4RIX_SYSFS_DIR", sys.path};
    const struct {
        const char* name;
        const char* type;  // the UART type file; nullptr: none
    } devices[] = {{"ttyUSB10", nullptr}, {"ttyS1", "0"}, {"ttyUSB2", nullptr}, {"tty0", nullptr}, {"ttyS0", "4"},
                   {"ttyACM0", nullptr}, {"ttyUSB1", nullptr}, {"console", nullptr}, {"ptmx", nullptr}};
    for (const auto& d : devices) {
        fake_system::make_dirs(sys / "class/tty/" + d.name);
        if (d.type)
            write_file(sys / "class/tty/" + d.name + "/type", std::string(d.type) + "\n");
    }
    std::vector<std::string> names;
    int count = -1;
    ASSERT_EQ(os_list_ports(names, count), OS_LIST_OK);
    EXPECT_EQ(names, (std::vector<std::string>{"ttyUSB1", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyS0"}));
    EXPECT_EQ(count, 5);

    temp_dir nothing;  // no class/tty at all: no list to read
    scoped_env none{"PELMO4RIX_SYSFS_DIR", nothing.path};
    EXPECT_EQ(os_list_ports(names, count), OS_LIST_NO_KEY);
}

}  // namespace
