// Signed image packages end to end: the real `pelmo4rix` makes keys and packages, and flash,
// image and the gang take a package only when its signature, manifest and image agree with a
// trusted key and the unit, a raw image only when allowed; checked on the virtual unit's side.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
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

TEST_F(packages, make_refuses_a_secret_key_that_others_may_read)
{
    ASSERT_EQ(chmod((cwd / "release.key").c_str(), 0640), 0);
    run_result r = make("new.bin", "6.05", "shared.p4pkg");
    EXPECT_EQ(r.exit_code, 24);
    EXPECT_NE(r.errors.find("the secret key release.key may be read or changed by others (chmod 600 release.key)"),
              std::string::npos)
        << r.errors;
    EXPECT_NE(access((cwd / "shared.p4pkg").c_str(), F_OK), 0);
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
    EXPECT_NE(r.errors.find("warning: key file skipped: " + cwd / "new.bin" + " holds no key (one line of 64 hexadecimal"),
              std::string::npos)
        << r.errors;
    EXPECT_NE(r.errors.find("no key of PELMO4RIX_TRUST has that id; skipped: " + cwd / "new.bin" + " holds no key"),
              std::string::npos)
        << r.errors;
}

// A trusted key file is refused, with the fix named, unless it and each folder above it up to
// the first that root owns belong to root or the user and no one else may change them; a
// symbolic link in a trust folder is never followed. The package is refused as signed by a key
// not trusted, the key file named.
TEST_F(packages, only_key_files_under_control_are_trusted)
{
    const uid_t other = 65534;
    const bool root = getuid() == 0;
    const struct {
        const char* name;
        const char* folder_mode;  // of the folder that holds the key
        const char* key_mode;
        bool other_owns_key, other_owns_folder, link;
        std::string message;  // empty: trusted
    } cases[] = {
        {"a key of its owner's", "0755", "0644", false, false, false, ""},
        {"in a shared folder that keeps others from renaming it (as /tmp)", "1777", "0644", false, false, false, ""},
        {"others may write to its folder", "0777", "0644", false, false, false,
         "others may change its folder " + cwd / "keys" + " (chmod go-w " + cwd / "keys" + ")"},
        {"its group may write to it", "0755", "0664", false, false, false, "others may change it (chmod go-w "},
        {"another user's key", "0755", "0644", true, false, false,
         "it belongs to another user (uid 65534), not to root or you"},
        {"in another user's folder", "0755", "0644", false, true, false,
         "its folder " + cwd / "keys" + " belongs to another user (uid 65534)"},
        {"a symbolic link in the trust folder", "0755", "0644", false, false, true,
         "is a symbolic link, which a trust folder's keys may not be (copy the key there)"},
    };
    for (const auto& c : cases) {
        if ((c.other_owns_key || c.other_owns_folder) && !root)
            continue;  // only root can give a file away
        std::filesystem::remove_all(cwd / "keys");
        ASSERT_EQ(mkdir((cwd / "keys").c_str(), 0755), 0);
        const std::string key = c.link ? cwd / "keys/link.pub" : cwd / "keys/release.pub";
        if (c.link)
            ASSERT_EQ(symlink((cwd / "release.pub").c_str(), key.c_str()), 0);
        else
            write_file(key, read_file(cwd / "release.pub"));
        ASSERT_EQ(chmod(key.c_str(), strtoul(c.key_mode, nullptr, 8)), 0);
        ASSERT_EQ(chmod((cwd / "keys").c_str(), strtoul(c.folder_mode, nullptr, 8)), 0);
        if (c.other_owns_key) {
            ASSERT_EQ(chown(key.c_str(), other, other), 0);
        }
        if (c.other_owns_folder) {
            ASSERT_EQ(chown((cwd / "keys").c_str(), other, other), 0);
        }
        for (const std::string& trust : {key, cwd / "keys"}) {
            run_result r = run({"package", "verify", "fw.p4pkg", "--trust", trust});
            const bool named_link = c.link && trust == key;  // a key named by its link is followed
            const bool refused = !c.message.empty() && !named_link;
            EXPECT_EQ(r.exit_code, refused ? 24 : 0) << c.name << " " << trust << "\n" << r.errors;
            if (refused) {
                EXPECT_NE(r.errors.find("warning: key file skipped: the key file " + key), std::string::npos)
                    << c.name << "\n" << r.errors;
                EXPECT_NE(r.errors.find(c.message), std::string::npos) << c.name << "\n" << r.errors;
                EXPECT_NE(r.errors.find("signed by the unknown key " + key_id), std::string::npos) << r.errors;
            }
        }
    }
}

// A user's key in a folder of the user's own inside a shared temporary folder is trusted; the
// walk up stops at the shared folder, which root owns, and takes it only when others can't
// rename what is not theirs there (its sticky bit).
TEST_F(packages, a_users_key_in_a_shared_temporary_folder_is_trusted_as_the_user)
{
    if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the check as another user";
    const uid_t user = 65534;
    const std::string mine = cwd / "mine";
    ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
    for (const char* name : {"release.pub", "fw.p4pkg"})
        write_file(mine + "/" + name, read_file(cwd / name));
    for (const std::string& path : {mine, mine + "/release.pub", mine + "/fw.p4pkg"})
        ASSERT_EQ(chown(path.c_str(), user, user), 0);
    for (const mode_t shared : {01777, 0777}) {
        ASSERT_EQ(chmod(cwd.path.c_str(), shared), 0);
        run_result r = run_program({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                    program_path("pelmo4rix"), "package", "verify", "fw.p4pkg", "--trust", "release.pub"},
                                   mine, "", false, 30000, true);
        if (r.exit_code == 127 || r.errors.find("Permission denied") != std::string::npos)
            GTEST_SKIP() << "the build is not readable by another user: " << r.errors;
        EXPECT_EQ(r.exit_code, shared == 01777 ? 0 : 24) << r.errors;
        if (shared == 0777) {
            EXPECT_NE(r.errors.find("others may change its folder " + cwd.path), std::string::npos) << r.errors;
        }
    }
    chmod(cwd.path.c_str(), 0700);
}

// Given --trust, only its keys count; else, given PELMO4RIX_TRUST, only its keys; trusted.d
// beside the programs only when neither is given. verify says which keys it considered.
TEST_F(packages, trust_option_and_variable_narrow_the_keys)
{
    run_result beside = run({"package", "keygen", "--out", "beside"});
    ASSERT_EQ(beside.exit_code, 0);
    ASSERT_EQ(make("new.bin", "6.05", "beside.p4pkg", "beside.key").exit_code, 0);
    // A copy of the program with a trust folder of its own beside it.
    mkdir((cwd / "bin").c_str(), 0755);
    mkdir((cwd / "bin/trusted.d").c_str(), 0755);
    std::filesystem::copy_file(program_path("pelmo4rix"), cwd / "bin/pelmo4rix");
    write_file(cwd / "bin/trusted.d/beside.pub", read_file(cwd / "beside.pub"));
    const struct {
        const char* name;
        std::vector<std::string> trust;
        const char* variable;
        const char* keys_from;
        int exit_code;
    } cases[] = {
        {"the folder beside the programs", {}, nullptr, "the trust folders", 0},
        {"--trust names another key", {"--trust", "release.pub"}, nullptr, "--trust", 24},
        {"PELMO4RIX_TRUST names another key", {}, "release.pub", "PELMO4RIX_TRUST", 24},
        {"--trust over the variable", {"--trust", "beside.pub"}, "release.pub", "--trust", 0},
    };
    for (const auto& c : cases) {
        std::unique_ptr<scoped_env> variable;
        if (c.variable)
            variable = std::make_unique<scoped_env>("PELMO4RIX_TRUST", cwd / c.variable);
        std::vector<std::string> argv = {cwd / "bin/pelmo4rix", "package", "verify", "beside.p4pkg"};
        argv.insert(argv.end(), c.trust.begin(), c.trust.end());
        run_result r = run_program(argv, cwd.path, "", false, 30000, true);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name << "\n" << r.errors;
        EXPECT_EQ(field(r.output, "keys_from"), c.keys_from) << c.name << "\n" << r.output;
        if (c.exit_code) {
            EXPECT_NE(r.errors.find(std::string("no key of ") + c.keys_from + " has that id"), std::string::npos)
                << c.name << "\n" << r.errors;
        }
    }
    run_result r = run_program({cwd / "bin/pelmo4rix", "image", "beside.p4pkg"}, cwd.path, "", false, 30000, true);
    EXPECT_EQ(field(r.output, "keys"), cwd / "bin/trusted.d/beside.pub (" + field(beside.output, "key") + ")") << r.output;
}

// One key file that can't be read or holds no key is skipped with a warning; the packages of
// the other keys still go, and one whose own key was skipped is refused with the file named.
TEST_F(packages, a_bad_key_file_in_a_trust_folder_spoils_only_its_own_packages)
{
    mkdir((cwd / "keys").c_str(), 0755);
    write_file(cwd / "keys/release.pub", read_file(cwd / "release.pub"));
    write_file(cwd / "keys/garbled.pub", "not a key\n");
    ASSERT_EQ(mkfifo((cwd / "keys/waiting.pub").c_str(), 0644), 0);
    mkdir((cwd / "keys/folder.pub").c_str(), 0755);
    run_result good = run({"package", "verify", "fw.p4pkg", "--trust", "keys"});
    EXPECT_EQ(good.exit_code, 0) << good.errors;
    for (const char* warning : {"keys/garbled.pub holds no key", "can't read the key file keys/waiting.pub: it is a FIFO",
                                "can't read the key file keys/folder.pub: it is a directory"})
        EXPECT_NE(good.errors.find(std::string("warning: key file skipped: ") + warning), std::string::npos)
            << warning << "\n" << good.errors;

    write_file(cwd / "keys/release.pub", "garbled too\n");
    run_result bad = run({"package", "verify", "fw.p4pkg", "--trust", "keys"});
    EXPECT_EQ(bad.exit_code, 24);
    EXPECT_NE(bad.errors.find("signed by the unknown key " + key_id + " (no key of --trust has that id; skipped: "),
              std::string::npos)
        << bad.errors;
    EXPECT_NE(bad.errors.find("keys/release.pub holds no key"), std::string::npos) << bad.errors;
}

// A key's minimum version (its key file's line, or --min-version for every key) refuses an older
// package, naming both versions, before anything is sent to a unit.
TEST_F(packages, a_package_older_than_its_keys_minimum_is_refused)
{
    write_file(cwd / "min.pub", read_file(cwd / "release.pub") + "min_version 6.07\n");
    ASSERT_EQ(make("new.bin", "6.10", "newer.p4pkg").exit_code, 0);
    const struct {
        std::vector<std::string> args;
        const char* message;  // empty: accepted
    } cases[] = {
        {{"fw.p4pkg", "--trust", "min.pub"}, "its version 6.05 is older than 6.07, the oldest that the key file min.pub"},
        {{"newer.p4pkg", "--trust", "min.pub"}, ""},
        {{"fw.p4pkg", "--trust", "release.pub", "--min-version", "6.05"}, ""},
        {{"fw.p4pkg", "--trust", "release.pub", "--min-version", "6.06"},
         "its version 6.05 is older than 6.06, the oldest that --min-version allows"},
        {{"newer.p4pkg", "--trust", "min.pub", "--min-version", "6.11"}, "its version 6.10 is older than 6.11"},
        {{"newer.p4pkg", "--trust", "min.pub", "--min-version", "6.01"}, ""},  // the key's line still holds
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"package", "verify"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run_result r = run(args);
        EXPECT_EQ(r.exit_code, *c.message ? 24 : 0) << c.args[0] << "\n" << r.errors;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << r.errors;
    }
    write_file(cwd / "bad-min.pub", read_file(cwd / "release.pub") + "min_version six\n");
    run_result bad = run({"package", "verify", "fw.p4pkg", "--trust", "bad-min.pub"});
    EXPECT_NE(bad.errors.find("bad-min.pub holds no key (one line of 64 hexadecimal digits, then optionally a line "
                              "min_version V)"),
              std::string::npos)
        << bad.errors;
    EXPECT_EQ(run({"package", "verify", "fw.p4pkg", "--min-version", "6.5"}).exit_code, 2);

    vunit* unit = start_unit();
    run_result flash = run({"flash", "--image", "fw.p4pkg", "--trust", "min.pub"});
    EXPECT_EQ(flash.exit_code, 24);
    EXPECT_NE(flash.errors.find("its version 6.05 is older than 6.07"), std::string::npos) << flash.errors;
    EXPECT_FALSE(flash_touched(kinds_received(unit)));
}

// What a manifest says reaches the terminal with its control characters escaped, whether the
// package is trusted or not.
TEST_F(packages, manifest_fields_are_shown_with_their_control_characters_escaped)
{
    std::string bytes = read_file(cwd / "fw.p4pkg");
    const size_t built = bytes.find("built ", MANIFEST_AT) + strlen("built ");
    const std::string painted = "\x1b[2K\rverified yes\x1b[m";  // as long as a time: the manifest keeps its size
    ASSERT_EQ(painted.size(), strlen("2026-12-11T02:03:04Z"));
    bytes.replace(built, painted.size(), painted);
    write_file(cwd / "painted.p4pkg", bytes);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"package", "show", "painted.p4pkg"},
             {"package", "verify", "painted.p4pkg", "--trust", "release.pub"},
             {"image", "painted.p4pkg", "--trust", "release.pub"}}) {
        run_result r = run(args);
        EXPECT_EQ(r.output.find_first_of("\x1b\r"), std::string::npos) << args[1];
        EXPECT_EQ(r.errors.find_first_of("\x1b\r"), std::string::npos) << args[1];
        if (args[0] == "package") {
            EXPECT_EQ(field(r.output, "built"), "\\x1b[2K\\x0dverified yes\\x1b[m") << r.output;
        }
    }
}

// The reader takes exactly the three members it knows: no path prefix, no bytes after a name's
// end, nothing but regular files.
TEST_F(packages, package_members_other_than_plain_files_are_refused)
{
    const std::string package = read_file(cwd / "fw.p4pkg");
    const struct {
        const char* name;
        size_t header;  // where the header edited begins
        size_t at;      // the byte of the header edited
        std::string bytes;
        const char* message;
    } cases[] = {
        {"a path prefix", 0, 345, "../../evil", "the package's member manifest has a path prefix"},
        {"bytes after the name's end", 0, 9, "junk", "the package holds manifest\\x00junk"},
        {"a folder", 0, 156, "5", "the package's member manifest is no regular file"},
        {"a symbolic link", MANIFEST_AT + 512, 156, "2", "the package's member manifest.sig is no regular file"},
        {"a hard link", IMAGE_AT - 512, 156, "1", "the package's member image.bin is no regular file"},
    };
    for (const auto& c : cases) {
        std::string bytes = package;
        bytes.replace(c.header + c.at, c.bytes.size(), c.bytes);
        char* h = &bytes[c.header];
        memset(h + 148, ' ', 8);  // the header's checksum made right again
        unsigned sum = 0;
        for (size_t i = 0; i < 512; i++)
            sum += static_cast<unsigned char>(h[i]);
        snprintf(h + 148, 8, "%06o", sum);
        h[155] = ' ';
        write_file(cwd / "edited.p4pkg", bytes);
        run_result r = run({"package", "show", "edited.p4pkg"});
        EXPECT_EQ(r.exit_code, 24) << c.name;
        EXPECT_NE(r.errors.find(c.message), std::string::npos) << c.name << "\n" << r.errors;
    }
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
