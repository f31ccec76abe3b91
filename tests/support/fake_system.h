// A device directory and a system description laid out as Linux lays them out for USB serial
// adapters: stable names in serial/by-path and serial/by-id, class/tty/NAME/device leading to
// the port's folder, the USB device folder above it. Made in temporary directories, for the
// programs pointed at them through PELMO4RIX_DEVICE_DIR and PELMO4RIX_SYSFS_DIR.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "support/support.h"

struct usb_port {
    std::string tty;     // ttyUSB0
    std::string place;   // the USB device's folder, named by its place on the bus: 1-1.2
    std::string driver;  // empty: no driver link
    std::map<std::string, std::string> usb_files;   // idVendor, idProduct, serial, product
    std::map<std::string, std::string> port_files;  // latency_timer
};

struct fake_system {
    temp_dir dev, sys;

    static void make_dirs(const std::string& path)
    {
        for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
            mkdir(path.substr(0, slash).c_str(), 0755);
            if (slash == std::string::npos)
                return;
        }
    }

    // The port's description under sys, and its node dev/TTY: a folder, which the port layer
    // can't open, so that no probe takes its time on it.
    void add(const usb_port& p) const
    {
        const std::string usb = sys / "devices/pci0000:00/usb1/" + p.place, port = usb + "/" + p.place + ":1.0/" + p.tty;
        make_dirs(port);
        make_dirs(sys / "class/tty/" + p.tty);
        for (const auto& [file, text] : p.usb_files)
            write_file(usb + "/" + file, text + "\n");
        for (const auto& [file, text] : p.port_files)
            write_file(port + "/" + file, text + "\n");
        if (!p.driver.empty()) {
            make_dirs(sys / "bus/usb-serial/drivers/" + p.driver);
            symlink((sys / "bus/usb-serial/drivers/" + p.driver).c_str(), (port + "/driver").c_str());
        }
        symlink(port.c_str(), (sys / "class/tty/" + p.tty + "/device").c_str());
        mkdir((dev / p.tty).c_str(), 0755);
    }

    void link_stable(const std::string& kind, const std::string& name, const std::string& target) const
    {
        link_stable_name(dev.path, kind, name, target);
    }

    // DEV/serial/KIND/NAME leading to DEV/TARGET as the system links it (../../TARGET); an
    // earlier link of that name is replaced, as a re-plug does.
    static void link_stable_name(const std::string& dev, const std::string& kind, const std::string& name,
                                 const std::string& target)
    {
        make_dirs(dev + "/serial/" + kind);
        const std::string link = dev + "/serial/" + kind + "/" + name;
        unlink(link.c_str());
        symlink(("../../" + target).c_str(), link.c_str());
    }
};
