// The pelmo4rix-vunit program: options, publishing, and the flash it leaves after SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "client.h"

namespace {

bytes read_file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

// The program, started with its standard output on a pipe.
struct running_program {
    pid_t pid = -1;
    int out = -1;

    explicit running_program(const std::vector<std::string>& args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> argv;
            static std::string program = PELMO4RIX_VUNIT_PROGRAM;
            argv.push_back(program.data());
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
    }

    // The first line the program prints (hang guard of a few seconds).
    std::string first_line()
    {
        std::string line;
        char c;
        while (line.size() < 4096) {
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0 || read(out, &c, 1) != 1 || c == '\n')
                break;
            line += c;
        }
        return line;
    }

    int stop(int signal_number)
    {
        kill(pid, signal_number);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~running_program()
    {
        if (pid > 0)
            stop(SIGKILL);
        if (out >= 0)
            close(out);
    }
};

TEST(VunitProgram, WritesFlashOutAfterSigtermAndRemovesItsLink)
{
    scratch_dir dir;
    bytes initial(0x3000, 0x00);  // shorter than the flash: fills its start only
    std::ofstream(dir / "in.bin", std::ios::binary).write(reinterpret_cast<const char*>(initial.data()), long(initial.size()));

    running_program program({"--device-dir", dir.path, "--name", "COM9", "--flash-in", dir / "in.bin", "--flash-out",
                             dir / "out.bin", "--stored-address", "0604:03:000100", "--log", dir / "log"});
    ASSERT_EQ(program.first_line(), dir / "COM9");
    bytes data = pattern(4096, 42);
    {
        line_client line(dir / "COM9");
        ASSERT_EQ(line.exchange(frame::handshake(), 8).size(), 8u);
        ASSERT_EQ(line.exchange(frame::set_baud_1m(), 12).size(), 12u);
        line.set_baud(1000000);
        ASSERT_EQ(line.exchange(frame::status_write(0), 13).size(), 13u);
        ASSERT_EQ(line.exchange(frame::write(0x5000, data), 15).size(), 15u);
    }
    EXPECT_EQ(program.stop(SIGTERM), 0);

    bytes flash = read_file_bytes(dir / "out.bin");
    ASSERT_EQ(flash.size(), 1u << 20);
    EXPECT_EQ(bytes(flash.begin(), flash.begin() + 0x3000), initial);
    EXPECT_EQ(flash[0x3000], 0xFF);
    EXPECT_EQ(bytes(flash.begin() + 0x5000, flash.begin() + 0x6000), data);
    EXPECT_EQ(std::string(flash.begin() + 0xFD006, flash.begin() + 0xFD014), "Pelmo4Rix(100)");
    EXPECT_NE(access((dir / "COM9").c_str(), F_OK), 0);
    std::ifstream log(dir / "log");
    std::string first;
    std::getline(log, first);
    EXPECT_EQ(first, "CMD_HANDSHAKE 115200");
}

TEST(VunitProgram, PrintsThePtyPathWithoutADeviceDirectory)
{
    running_program program({});
    std::string path = program.first_line();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    line_client line(path);
    EXPECT_EQ(line.exchange(frame::probe(), 8).size(), 8u);
    EXPECT_EQ(program.stop(SIGINT), 0);
}

struct args_case {
    const char* name;
    std::vector<std::string> args;
    bool valid;
};

class Arguments : public ::testing::TestWithParam<args_case> {};

TEST_P(Arguments, AreCheckedUpFront)
{
    std::vector<std::string> args = GetParam().args;
    args.insert(args.begin(), "pelmo4rix-vunit");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    vunit_config config;
    std::string error;
    EXPECT_EQ(vunit_parse_args(int(argv.size()), argv.data(), config, error), GetParam().valid) << error;
    EXPECT_EQ(error.empty(), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    VirtualUnit, Arguments,
    ::testing::Values(
        args_case{"none", {}, true},
        args_case{"everything",
                  {"--device-dir", "/tmp", "--name", "COM12", "--list", "--version", "205", "--flash-mbit", "4",
                   "--stored-address", "0604:03:123456", "--params", "00112233445566778899aabbccddeeff", "--flash-in",
                   "a", "--flash-out", "b", "--log", "c", "--trace-out", "d", "--line-rate", "--erase-ms", "5",
                   "--write-ms=1", "--crc-ms", "2", "--trace-rate", "9000", "--trace-bytes", "100", "--firmware-baud",
                   "1000000", "--adapter-latency-ms", "16", "--fault", "no-reply:22:3", "--fault", "short-reply:13:4",
                   "--fault", "reply:7:040E05", "--fault", "bad-crc", "--fault", "noise", "--fault",
                   "unplug-after-sectors:9", "--fault", "silent-until-restart", "--max-baud", "12000000",
                   "--baud-fault", "garble", "--fault", "unerased:200"},
                  true},
        args_case{"unknown_option", {"--colour"}, false},
        args_case{"missing_value", {"--name"}, false},
        args_case{"version_length", {"--version", "6.05"}, false},
        args_case{"flash_size", {"--flash-mbit", "16"}, false},
        args_case{"address_format", {"--stored-address", "0604:3:123456"}, false},
        args_case{"params_length", {"--params", "0011"}, false},
        args_case{"list_without_dir", {"--list"}, false},
        args_case{"negative_delay", {"--erase-ms", "-1"}, false},
        args_case{"firmware_speed", {"--firmware-baud", "9600"}, false},
        args_case{"adapter_latency_range", {"--adapter-latency-ms", "256"}, false},
        args_case{"max_baud_range", {"--max-baud", "12000001"}, false},
        args_case{"baud_fault_kind", {"--baud-fault", "drop"}, false},
        args_case{"unknown_fault", {"--fault", "explode"}, false},
        args_case{"fault_kind_outside_catalogue", {"--fault", "no-reply:6"}, false},
        args_case{"fault_reply_not_hex", {"--fault", "reply:1:0G"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
