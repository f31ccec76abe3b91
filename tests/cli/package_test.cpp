// Signed image packages end to end: the real `pelmo4rix` makes keys and packages, and flash,
// image and the gang take a package only when its signature, manifest and image agree with a
// trusted key and the unit, a raw image only when allowed; checked on the virtual unit's side.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "device/flash_layout.h"
#include "image/crc32.h"
#include "image/image.h"
#include "link/state.h"
#include "support/gang_process.h"
#include "support/unit_fixture.h"

namespace {

// Where the members' data begin in a package (a ustar archive, one block per header, the
// manifest and the signature each within one block).
constexpr size_t MANIFEST_AT = 512;
constexpr size_t SIGNATURE_AT = 3 * 512;
constexpr size_t IMAGE_AT = 5 * 512;

class packages : public unit_test {
protected:
    temp_dir cwd;
    std::vector<uint8_t> image;  // the packed image: the built-in one with a few bytes changed
    std::string key_id;

    void SetUp() override
    {
        unit_test::SetUp();
        image.assign(firmware_image, firmware_image + IMAGE_SIZE);
        for (int i = 0; i < 64; i++)
            image[7 * SECTOR_SIZE + i] ^= 0xA5;  // so that the unit's flash shows which image came
        write_file(cwd / "new.bin", std::string(image.begin(), image.end()));
        run_result keys = run({"package", "keygen", "--out", "release"});
        ASSERT_EQ(keys.exit_code, 0) << keys.errors;
        key_id = field(keys.output, "key");
        ASSERT_EQ(key_id.size(), 16u) << keys.output;
        ASSERT_EQ(make("new.bin", "6.05", "fw.p4pkg").exit_code, 0);
    }

    run_result run(const std::vector<std::string>& args, int timeout_ms = 30000)
    {
        std::vector<std::string> argv = {program_path("pelmo4rix")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, cwd.path, "", false, timeout_ms, true);
    }

    run_result make(const std::string& raw, const std::string& version, const std::string& out,
                    const std::string& key = "release.key")
    {
        return run({"package", "make", "--key", key, "--image", raw, "--version", version, "--out", out});
    }

    // A copy of the package with the byte at `at` flipped.
    std::string tampered(size_t at, const std::string& name)
    {
        std::string bytes = read_file(cwd / "fw.p4pkg");
        bytes.at(at) ^= 0x01;
        write_file(cwd / name, bytes);
        return name;
    }

    // The value of "key  value" in a command's text result.
    static std::string field(const std::string& output, const std::string& key)
    {
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(key + " ", 0) == 0)
                return line.substr(line.find_first_not_of(' ', key.size()));
        return "";
    }
};

// Frames that change the unit's flash: erase, sector write, information sector.
bool flash_touched(const std::vector<int>& kinds)
{
    for (int kind : kinds)
        if (kind == 13 || kind == 14 || kind == 15)
            return true;
    return false;
}

TEST_F(packages, keygen_writes_the_secret_key_for_its_owner_only_and_never_over_another)
{
    struct stat st;
    ASSERT_EQ(stat((cwd / "release.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string public_key = read_file(cwd / "release.pub");
    EXPECT_EQ(public_key.size(), 65u);
    const std::string secret = read_file(cwd / "release.key");

    run_result again = run({"package", "keygen", "--out", "release"});
    EXPECT_EQ(again.exit_code, 24);
    EXPECT_NE(again.errors.find("can't create release.key"), std::string::npos) << again.errors;
    EXPECT_EQ(read_file(cwd / "release.key"), secret);
    EXPECT_EQ(read_file(cwd / "release.pub"), public_key);
}

TEST_F(packages, show_and_verify_tell_the_manifest_and_whether_a_trusted_key_signed_it)
{
    run_result show = run({"package", "show", "fw.p4pkg", "--json"});
    EXPECT_EQ(show.exit_code, 0) << show.errors;
    EXPECT_NE(show.output.find("\"product\":\"Pelmo4Rix\",\"flash_mbit\":8,\"version\":\"6.05\""), std::string::npos)
        << show.output;
    EXPECT_NE(show.output.find("\"key\":\"" + key_id + "\""), std::string::npos);

    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit_code;
        const char* message;
    } cases[] = {
        {"trusted", {"fw.p4pkg", "--trust", "release.pub"}, 0, ""},
        {"trusted through a folder", {"fw.p4pkg", "--trust", "."}, 0, ""},
        {"no key trusted", {"fw.p4pkg"}, 24, "signed by the unknown key"},
        {"a tampered image", {tampered(IMAGE_AT + 1000, "bad.p4pkg"), "--trust", "release.pub"}, 24,
         "its image does not match its manifest"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"package", "verify"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run_result r = run(args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name << "\n" << r.errors;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << c.name << "\n" << r.errors;
        EXPECT_EQ(field(r.output, "verified"), c.exit_code ? "no" : "yes") << c.name << "\n" << r.output;
    }
    {
        scoped_env trust("PELMO4RIX_TRUST", cwd / "release.pub");
        EXPECT_EQ(run({"package", "verify", "fw.p4pkg"}).exit_code, 0);
    }
    scoped_env broken("PELMO4RIX_TRUST", cwd / "new.bin");
    run_result r = run({"package", "verify", "fw.p4pkg"});
    EXPECT_EQ(r.exit_code, 24);
    EXPECT_NE(r.errors.find("new.bin holds no key (one line of 64 hexadecimal digits) (named by PELMO4RIX_TRUST)"),
              std::string::npos)
        << r.errors;
}

TEST_F(packages, a_trusted_package_programs_the_unit_exactly)
{
    vunit* unit = start_unit();
    run_result r = run({"flash", "--image", "fw.p4pkg", "--trust", "release.pub", "--no-restart"});
    ASSERT_EQ(r.exit_code, 0) << r.errors;
    std::vector<uint8_t> flash = vunit_flash(unit);
    EXPECT_EQ(memcmp(flash.data(), image.data(), 253 * SECTOR_SIZE), 0);
    memcpy(bt_address, flash.data() + INFO_SECTOR_ADDRESS, 6);  // the unit's own address, kept
    uint8_t info[SECTOR_SIZE];
    build_info_sector(info);
    EXPECT_EQ(memcmp(flash.data() + INFO_SECTOR_ADDRESS, info, SECTOR_SIZE), 0);
}

// A 4 Mbit package on a 4 Mbit unit: its version chooses the smaller plan.
TEST_F(packages, a_package_for_the_small_flash_programs_a_small_unit)
{
    ASSERT_EQ(make("new.bin", "2.05", "small.p4pkg").exit_code, 0);
    vunit* unit = start_unit({"--flash-mbit", "4", "--version", "205"});
    run_result r = run({"flash", "--image", "small.p4pkg", "--trust", "release.pub", "--no-restart"});
    ASSERT_EQ(r.exit_code, 0) << r.errors;
    std::vector<uint8_t> flash = vunit_flash(unit);
    EXPECT_EQ(memcmp(flash.data(), image.data(), 125 * SECTOR_SIZE), 0);
}

TEST_F(packages, nothing_is_sent_for_a_package_or_file_that_fails_a_check)
{
    run_result other = run({"package", "keygen", "--out", "other"});
    ASSERT_EQ(other.exit_code, 0);
    ASSERT_EQ(make("new.bin", "2.05", "small.p4pkg").exit_code, 0);
    ASSERT_EQ(make("new.bin", "6.05", "foreign.p4pkg", "other.key").exit_code, 0);
    std::vector<uint8_t> no_info = image;
    memset(&no_info[253L * SECTOR_SIZE], 0xFF, SECTOR_SIZE);  // the prepared information sector wiped
    write_file(cwd / "no-info.bin", std::string(no_info.begin(), no_info.end()));
    write_file(cwd / "zeros.bin", std::string(IMAGE_SIZE, '\0'));
    write_file(cwd / "erased.bin", std::string(IMAGE_SIZE, '\xff'));
    std::string header = read_file(cwd / "fw.p4pkg");
    header[0] = 'X';  // the first member's name: its header checksum no longer holds
    write_file(cwd / "header.p4pkg", header);
    const std::vector<std::string> trusted = {"--trust", "release.pub"};
    const struct {
        const char* name;
        std::string file;
        std::vector<std::string> options;
        std::string message;
    } cases[] = {
        {"a flipped byte in the image", tampered(IMAGE_AT + 7 * SECTOR_SIZE, "image.p4pkg"), trusted,
         "its image does not match its manifest (size or SHA-256)"},
        {"a flipped byte in the manifest", tampered(MANIFEST_AT + 30, "manifest.p4pkg"), trusted,
         "its signature does not match its manifest"},
        {"a flipped byte in the signature", tampered(SIGNATURE_AT + 10, "signature.p4pkg"), trusted,
         "its signature does not match its manifest"},
        {"a damaged header", "header.p4pkg", trusted, "is damaged"},
        {"an unknown key", "foreign.p4pkg", trusted, "signed by the unknown key"},
        {"no trusted key at all", "fw.p4pkg", {}, "signed by the unknown key " + key_id},
        {"a 4 Mbit package on an 8 Mbit unit", "small.p4pkg", trusted,
         "the package is for a 4 Mbit unit; this unit (firmware 605) has 8 Mbit of flash"},
        {"a raw image without --allow-unsigned", "new.bin", {}, "it is a raw image, not a signed package"},
        {"zeros with --allow-unsigned", "zeros.bin", {"--allow-unsigned"}, "all its bytes are 0x00"},
        {"an erased flash with --allow-unsigned", "erased.bin", {"--allow-unsigned"}, "all its bytes are 0xFF"},
        {"no information sector with --allow-unsigned", "no-info.bin", {"--allow-unsigned"},
         "holds no prepared information sector"},
    };
    vunit* unit = start_unit();
    for (const auto& c : cases) {
        std::vector<std::string> args = {"flash", "--image", c.file};
        args.insert(args.end(), c.options.begin(), c.options.end());
        run_result r = run(args);
        EXPECT_EQ(r.exit_code, 24) << c.name << "\n" << r.errors;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << c.name << "\n" << r.errors;
    }
    EXPECT_FALSE(flash_touched(kinds_received(unit)));
    std::vector<uint8_t> flash = vunit_flash(unit);
    EXPECT_EQ(flash, std::vector<uint8_t>(flash.size(), 0xFF));
}

// A FIFO without a writer, an endless device and a directory are refused at once, not waited
// on or read for ever (the time-out only ends a hang), by every command that takes an image.
TEST_F(packages, only_regular_files_are_read)
{
    ASSERT_EQ(mkfifo((cwd / "fifo").c_str(), 0600), 0);
    mkdir((cwd / "folder").c_str(), 0700);
    const struct {
        const char* file;
        const char* message;
    } files[] = {
        {"/dev/zero", "it is a device, not a regular file"},
        {"fifo", "it is a FIFO, not a regular file"},
        {"folder", "it is a directory, not a regular file"},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"flash", "--allow-unsigned", "--image"}, {"image", "--allow-unsigned"}, {"gang", "--allow-unsigned", "--image"}};
    for (const auto& f : files)
        for (const std::vector<std::string>& command : commands) {
            std::vector<std::string> args = command;
            args.push_back(f.file);
            run_result r = run(args, 10000);
            EXPECT_EQ(r.exit_code, 24) << f.file << " " << command[0];
            EXPECT_NE((r.errors + r.output).find(f.message), std::string::npos) << f.file << " " << command[0];
        }
}

// `image` says on standard output whether flash --image would take a file and why not.
TEST_F(packages, image_tells_why_a_file_would_be_refused)
{
    write_file(cwd / "notes.txt", "remember the fixtures\n");
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* kind;
        const char* reason;
    } cases[] = {
        {{"notes.txt"}, 24, "raw", "notes.txt refused: it is 22 bytes; an image must be exactly 1040384 bytes"},
        {{"missing.bin"}, 24, "", "can't read missing.bin: No such file or directory"},
        {{"new.bin"}, 24, "raw", "new.bin refused: it is a raw image, not a signed package"},
        {{"new.bin", "--allow-unsigned"}, 0, "raw", ""},
        {{"fw.p4pkg"}, 24, "package", "fw.p4pkg refused: it is signed by the unknown key"},
        {{"fw.p4pkg", "--trust", "release.pub"}, 0, "package", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"image"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run_result r = run(args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << "\n" << r.errors;
        EXPECT_EQ(field(r.output, "kind"), c.kind) << c.args[0] << "\n" << r.output;
        EXPECT_EQ(field(r.output, "accepted"), c.exit_code ? "no" : "yes") << c.args[0] << "\n" << r.output;
        EXPECT_EQ(field(r.output, "reason").rfind(c.reason, 0), 0u) << c.args[0] << "\n" << r.output;
    }
    run_result json = run({"--json", "image", "notes.txt"});
    EXPECT_EQ(json.output.rfind("{\"ok\":false,\"command\":\"image\",\"exit_code\":24,\"error\":\"notes.txt refused: ", 0),
              0u)
        << json.output;
    EXPECT_NE(json.output.find("\"accepted\":false}\n"), std::string::npos) << json.output;
    run_result trusted = run({"image", "fw.p4pkg", "--trust", "release.pub"});
    EXPECT_EQ(field(trusted.output, "version"), "6.05");
    EXPECT_EQ(field(trusted.output, "key"), key_id);
    EXPECT_EQ(field(trusted.output, "size"), "1040384");
}

// The gang checks the package once and its workers again; the record names what was used.
TEST_F(packages, the_gangs_record_names_the_package_key_or_unsigned)
{
    const struct {
        std::vector<std::string> options;
        std::string image_version;
    } cases[] = {
        {{"--image", "fw.p4pkg", "--trust", "release.pub"}, "6.05 key " + key_id},
        {{"--image", "new.bin", "--allow-unsigned"}, "unsigned"},
    };
    for (const auto& c : cases) {
        temp_dir station;
        vunit* unit = start_unit();
        std::vector<std::string> args = {"--units", "1", "--ports", "COM7"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        for (std::string& a : args)
            if (a == "fw.p4pkg" || a == "new.bin" || a == "release.pub")
                a = cwd / a;
        gang_process gang;
        gang.start(args, station.path);
        ASSERT_EQ(gang.finish(), 0) << gang.output;
        std::string record = read_file(station / "production.csv");
        char checksum[12];
        snprintf(checksum, sizeof checksum, "%08X", jamcrc(image.data(), CHECKSUM_END));
        EXPECT_NE(record.find(",0604:03:000100," + c.image_version + "," + checksum + ",good,"), std::string::npos)
            << record;
        std::vector<uint8_t> flash = vunit_flash(unit);
        EXPECT_EQ(memcmp(flash.data(), image.data(), 253 * SECTOR_SIZE), 0) << c.image_version;
        stop_unit(unit);
    }
}

}  // namespace
