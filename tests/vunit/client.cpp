#include "client.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

namespace {

speed_t speed_code(uint32_t baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 115200: return B115200;
    case 1000000: return B1000000;
    default: return B0;
    }
}

int remaining_ms(std::chrono::steady_clock::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    return left > 0 ? int(left) : 0;
}

void put_le(bytes& b, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace

line_client::line_client(const std::string& path, uint32_t baud)
{
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << "cannot open " << path;
    if (fd >= 0)
        set_baud(baud);
}

line_client::~line_client()
{
    if (fd >= 0)
        close(fd);
}

void line_client::set_baud(uint32_t baud)
{
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed_code(baud));
    cfsetospeed(&t, speed_code(baud));
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

void line_client::send(const bytes& frame)
{
    ASSERT_EQ(write(fd, frame.data(), frame.size()), ssize_t(frame.size()));
}

bool line_client::try_send(const bytes& frame) { return write(fd, frame.data(), frame.size()) == ssize_t(frame.size()); }

bytes line_client::read_for(size_t n, int ms)
{
    bytes got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(end)) <= 0)
            break;
        uint8_t buffer[8192];
        ssize_t r = read(fd, buffer, std::min(sizeof buffer, n - got.size()));
        if (r <= 0)
            break;  // hung up
        got.insert(got.end(), buffer, buffer + r);
    }
    return got;
}

bytes line_client::drain(int quiet_ms)
{
    bytes got;
    for (;;) {
        bytes more = read_for(65536, quiet_ms);
        if (more.empty())
            return got;
        got.insert(got.end(), more.begin(), more.end());
    }
}

bytes line_client::exchange(const bytes& frame, size_t n, int ms)
{
    send(frame);
    return read_for(n, ms);
}

bytes line_client::exact(const bytes& frame, size_t n)
{
    bytes got = exchange(frame, n);
    bytes extra = read_for(65536, 30);
    got.insert(got.end(), extra.begin(), extra.end());
    return got;
}

namespace frame {
bytes probe() { return {0x01, 0xE0, 0xFC, 0x01, 0x00}; }
bytes handshake() { return {0x01, 0xE0, 0xFC, 0x02, 0xAA, 0x55}; }
bytes boot_pattern() { return {0x01, 0xE0, 0xFC, 0x05, 0xFE, 0x95, 0x27, 0x95, 0x27}; }
bytes set_baud_1m() { return {0x01, 0xE0, 0xFC, 0x06, 0x0F, 0x40, 0x42, 0x0F, 0x00, 0x0F}; }
bytes restart_1() { return {0x01, 0xE0, 0xFC, 0x09, 0x01, 0x00, 0x80, 0xF4, 0x00, 0x01, 0x00, 0x5A, 0x00}; }
bytes restart_2() { return {0x01, 0xE0, 0xFC, 0x09, 0x01, 0x00, 0x80, 0xF4, 0x00, 0x01, 0x00, 0xA5, 0x00}; }
bytes status_read() { return {0x01, 0xE0, 0xFC, 0xFF, 0xF4, 0x02, 0x00, 0x0C, 0x05}; }
bytes status_write(uint8_t value) { return {0x01, 0xE0, 0xFC, 0xFF, 0xF4, 0x03, 0x00, 0x0D, 0x01, value}; }

bytes erase(uint8_t opcode, uint32_t address)
{
    bytes b{0x01, 0xE0, 0xFC, 0xFF, 0xF4, 0x06, 0x00, 0x0F, opcode};
    put_le(b, address, 4);
    return b;
}

bytes write(uint32_t address, const bytes& data)
{
    bytes b{0x01, 0xE0, 0xFC, 0xFF, 0xF4, 0x05, 0x10, 0x07};
    put_le(b, address, 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

bytes verify(uint32_t first, uint32_t last)
{
    bytes b{0x01, 0xE0, 0xFC, 0x09, 0x10};
    put_le(b, first, 4);
    put_le(b, last, 4);
    return b;
}

bytes read(uint32_t address)
{
    bytes b{0x01, 0xE0, 0xFC, 0xFF, 0xF4, 0x05, 0x00, 0x09};
    put_le(b, address, 4);
    return b;
}

bytes text(char letter) { return {'/', uint8_t(letter)}; }
}  // namespace frame

uint32_t bitwise_jamcrc(const uint8_t* data, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

uint32_t le32_at(const bytes& b, size_t at)
{
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 | uint32_t(b.at(at + 3)) << 24;
}

bytes pattern(size_t n, uint32_t seed)
{
    bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = uint8_t(x);
    }
    return b;
}

scratch_dir::scratch_dir()
{
    char name[] = "/tmp/vunit-test-XXXXXX";
    path = mkdtemp(name) ? name : "";
    EXPECT_FALSE(path.empty());
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

unit_ptr start_unit(const vunit_config& config)
{
    std::string error;
    unit_ptr unit(vunit_start(config, error));
    EXPECT_TRUE(unit) << error;
    return unit;
}

bench::bench(const vunit_config& config) : unit(start_unit(config)), line(unit ? vunit_port_path(unit.get()) : "/nonexistent") {}

void bench::enter_loader()
{
    ASSERT_EQ(line.exchange(frame::handshake(), 8).size(), 8u);
    ASSERT_EQ(line.exchange(frame::set_baud_1m(), 12).size(), 12u);
    line.set_baud(1000000);
}

void bench::unlock()
{
    enter_loader();
    ASSERT_EQ(line.exchange(frame::status_write(0x00), 13).size(), 13u);
}

size_t bench::frame_count() { return vunit_frames(unit.get()).size(); }
