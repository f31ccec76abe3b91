#include "tools/address_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/console_print.h"
#include "link/state.h"
#include "tools/file_os.h"

namespace {

constexpr int LINE_LENGTH = 15;   // "0604 03 000100 "
constexpr int32_t LAP_MASK = 0xFFFFFF;
constexpr int NAP_DIGITS = 4;
constexpr int UAP_DIGITS = 2;
constexpr int LAP_DIGITS = 6;

const char WRITE_HEADING[] = " Write BT address into ini file\n";
const char WRITE_ERROR[] = " \n\n !!!! Error to write to INI file !!!!!\n\n";

// The address with `lap` in its bytes 0 to 2; the UAP and NAP stay.
void set_lap(uint8_t* address, int32_t lap)
{
    address[0] = static_cast<uint8_t>(lap);
    address[1] = static_cast<uint8_t>(lap >> 8);
    address[2] = static_cast<uint8_t>(lap >> 16);
}

int write_address(const uint8_t* address)
{
    char line[LINE_LENGTH + 1];
    snprintf(line, sizeof line, "%02x%02x %02x %02x%02x%02x ", address[5], address[4], address[3], address[2],
             address[1], address[0]);
    return fwrite(line, 1, LINE_LENGTH, info_file) == LINE_LENGTH;
}

// The file's name as the messages show it, without its directory ("info.ini" for the station).
std::string file_name(const char* path)
{
    const std::string whole = path;
    const size_t slash = whole.find_last_of("/\\");
    return slash == std::string::npos ? whole : whole.substr(slash + 1);
}

std::string copy_made;  // the name of the copy being written, beside the file

// Opens a new copy that replaces the file as info_file; 1 when it is open.
int open_copy(const char* path)
{
    info_file = os_file_temporary(path, copy_made);
    return info_file != nullptr;
}

// Completes the copy in info_file (`written`: its content went in): flushes it to the disk,
// closes it and renames it over the file. On any failure the copy goes, the file stays as it
// was, and the write error is shown.
int finish_copy(const char* path, int written)
{
    int ok = written && os_file_sync(info_file);
    ok = fclose(info_file) == 0 && ok;
    info_file = nullptr;
    if (ok && os_file_replace(copy_made.c_str(), path))
        return 1;
    remove(copy_made.c_str());
    console_print("%s", WRITE_ERROR);
    return 0;
}

// A symbolic link in place of a file the station writes is refused, and said so: replaced or
// written through, it would change a file of the link maker's choosing.
int refuse_link(const std::string& path)
{
    if (!os_file_is_link(path.c_str()))
        return 0;
    console_print(" Error !!!! \"%s\" is a symbolic link: refused, nothing written. \n\n", path.c_str());
    return 1;
}

int save_silently(const char* path, const uint8_t* address)
{
    if (!open_copy(path)) {
        console_print("%s", WRITE_ERROR);
        return 0;
    }
    return finish_copy(path, write_address(address));
}

// The next token of info_file, at most TOKEN_MAX characters of it kept in `token`; returns
// its whole length (0 at the end of the file).
int read_token(char* token)
{
    int c;
    do
        c = getc(info_file);
    while (c != EOF && isspace(c));
    int length = 0;
    for (; c != EOF && !isspace(c); c = getc(info_file), length++)
        if (length < TOKEN_MAX)
            token[length] = static_cast<char>(c);
    token[length < TOKEN_MAX ? length : TOKEN_MAX] = '\0';
    return length;
}

int hex_pair(const char* digits)
{
    return hex_digit_value(digits[0]) * 16 + hex_digit_value(digits[1]);
}

}  // namespace

int hex_digit_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

int write_address_lines()
{
    console_print("%s", WRITE_HEADING);
    return write_address(bt_address);
}

int parse_address_file()
{
    if (!info_file) {
        console_print(" Error, no INI file\n");
        return 0;
    }
    char nap[TOKEN_MAX + 1], uap[TOKEN_MAX + 1], lap[TOKEN_MAX + 1];
    // Only the NAP's first four characters count, but a token too long to keep is refused.
    int length = read_token(nap);
    if (length < NAP_DIGITS || length > TOKEN_MAX || memcmp(nap, "0604", NAP_DIGITS) != 0) {
        console_print("\n ini file NAP field is not correct, should be 0604\n");
        return 0;
    }
    if (read_token(uap) != UAP_DIGITS) {
        console_print("\n ini file UAP field is not correct, length should be 2\n");
        return 0;
    }
    if (read_token(lap) != LAP_DIGITS) {
        console_print("\n ini file LAP field is not correct, length should be 6\n");
        return 0;
    }
    bt_address[3] = static_cast<uint8_t>(hex_pair(uap));
    lap_counter = hex_pair(lap) << 16 | hex_pair(lap + 2) << 8 | hex_pair(lap + 4);
    set_lap(bt_address, lap_counter);
    return 1;
}

void advance_address(const char* path)
{
    lap_counter = (lap_counter + 1) & LAP_MASK;
    set_lap(bt_address, lap_counter);
    console_print(" Next BT ADD = %02x%02x %02x %02x%02x%02x\n", bt_address[5], bt_address[4], bt_address[3],
           bt_address[2], bt_address[1], bt_address[0]);
    if (!open_copy(path)) {
        console_print("\n\n ERROR !!!! Faile to update \"%s\" file. !!!!\n\n", file_name(path).c_str());
        return;
    }
    finish_copy(path, write_address_lines());
}

int load_address_file(const char* path)
{
    if (refuse_link(path))
        return 0;
    info_file = os_file_open(path, "rb");
    if (info_file) {
        fclose(info_file);
    } else {
        console_print("\n\n WARMING !!!! Faile to open \"%s\" file. Use default \n\n", file_name(path).c_str());
        if (!open_copy(path)) {
            console_print(" Error !!!! Can't create \"%s\" file. \n\n", file_name(path).c_str());
            return 0;
        }
        finish_copy(path, write_address_lines());
    }
    // Opened for update: a read-only file is refused, as whoever made it so wants it kept.
    info_file = os_file_open(path, "rb+");
    int ok = parse_address_file();
    if (info_file)
        fclose(info_file);
    info_file = nullptr;
    if (!ok)
        console_print("\n\n WARMING ini file is not correct, Please update the ini file and try again\n\n");
    return ok;
}

int reserve_address(const char* path)
{
    uint8_t next[6];
    memcpy(next, bt_address, sizeof next);
    set_lap(next, (lap_counter + 1) & LAP_MASK);
    return save_silently(path, next);
}

int release_address(const char* path)
{
    return save_silently(path, bt_address);
}

os_file_lock* lock_address_file(const char* path)
{
    const std::string name = std::string(path) + ".lock";
    if (refuse_link(name) || refuse_link(path))
        return nullptr;
    os_file_lock* lock = os_lock_open(name.c_str());
    if (!lock) {
        console_print(" Error !!!! Can't create \"%s\" file. \n\n", file_name(name.c_str()).c_str());
        return nullptr;
    }
    if (!os_lock_take(lock)) {
        os_lock_close(lock);
        console_print(" Error !!!! \"%s\" is used by another station. \n\n", file_name(path).c_str());
        return nullptr;
    }
    return lock;
}

void unlock_address_file(os_file_lock* lock)
{
    os_lock_close(lock);
}
