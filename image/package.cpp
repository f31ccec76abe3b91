#include "image/package.h"

#include <sodium.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/text.h"
#include "image/crc32.h"
#include "image/file_os.h"
#include "image/image.h"
#include "tools/production_record.h"

namespace {

constexpr size_t TAR_BLOCK = 512;
constexpr size_t MANIFEST_MAX = 1024;  // nine short lines
// A package holds three headers, the manifest, the signature and the image, each rounded up
// to blocks, and its closing blocks; anything larger is neither a package nor an image.
constexpr size_t FILE_LIMIT = IMAGE_SIZE + 64 * 1024;
constexpr size_t KEY_ID_BYTES = 8;
constexpr char MANIFEST_FIRST_LINE[] = "pelmo4rix-package 1";
constexpr char MEMBER_MANIFEST[] = "manifest";
constexpr char MEMBER_SIGNATURE[] = "manifest.sig";
constexpr char MEMBER_IMAGE[] = "image.bin";
constexpr char MIN_VERSION_LINE[] = "min_version ";  // a public key file's optional second line
// Where the fields of a ustar header are, and how wide.
constexpr size_t TAR_NAME_WIDTH = 100, TAR_TYPE_AT = 156, TAR_PREFIX_AT = 345, TAR_PREFIX_WIDTH = 155;
constexpr char TAR_REGULAR_FILE = '0';
// The prepared information sector that every image carries in its sector 253: the product's
// name at bytes 6 to 14 and the sector's layout version, 1, at bytes 38 to 41.
constexpr long INFO_SECTOR = 253L * SECTOR_SIZE;
constexpr int INFO_NAME_AT = 6;
constexpr int INFO_VERSION_AT = 38;

int flash_package_mbit = 0;  // the package in use: the flash size it is made for; 0: none

std::string hex(const uint8_t* bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// Hexadecimal digits (either case) into bytes; false unless exactly `n` bytes' worth.
// (`size` digits at `text`; no copy of them is made, as they may be a secret key's.)
bool from_hex(const char* text, size_t size, uint8_t* bytes, size_t n)
{
    if (size != 2 * n)
        return false;
    for (size_t i = 0; i < 2 * n; i++)
        if (!isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    auto nibble = [](char c) { return static_cast<uint8_t>(isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10); };
    for (size_t i = 0; i < n; i++)
        bytes[i] = static_cast<uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
    return true;
}

std::string key_id(const uint8_t key[crypto_sign_PUBLICKEYBYTES])
{
    uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, key, crypto_sign_PUBLICKEYBYTES);
    return hex(digest, KEY_ID_BYTES);
}

std::string sha256_text(const std::vector<uint8_t>& bytes)
{
    uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes.data(), bytes.size());
    return hex(digest, sizeof digest);
}

std::string checksum_of(const std::vector<uint8_t>& image)
{
    char text[12];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(jamcrc(image.data(), CHECKSUM_END)));
    return text;
}

// The flash size that a version's first character chooses (the programming plan's rule).
int flash_mbit_of(char first)
{
    return static_cast<unsigned char>(first) >= '3' ? 8 : 4;
}

std::string manifest_text(const image_manifest& m)
{
    return std::string(MANIFEST_FIRST_LINE) + "\nproduct " + m.product + "\nflash_mbit " + std::to_string(m.flash_mbit) +
           "\nversion " + m.version + "\nbuilt " + m.built + "\nsize " + std::to_string(m.size) + "\nchecksum " +
           m.checksum + "\nsha256 " + m.sha256 + "\nkey " + m.key_id + "\n";
}

// The manifest's values; false unless the text is exactly what manifest_text makes of them.
bool parse_manifest(const std::string& text, image_manifest& m)
{
    static const char* const names[] = {"product", "flash_mbit", "version", "built", "size", "checksum", "sha256", "key"};
    std::string values[8];
    size_t at = text.find('\n');
    if (at == std::string::npos || text.compare(0, at, MANIFEST_FIRST_LINE) != 0)
        return false;
    for (int i = 0; i < 8; i++) {
        size_t end = text.find('\n', ++at);
        std::string name = std::string(names[i]) + " ";
        if (end == std::string::npos || text.compare(at, name.size(), name) != 0)
            return false;
        values[i] = text.substr(at + name.size(), end - at - name.size());
        at = end;
    }
    for (const std::string& v : values)
        if (v.empty() || v.size() > 64)
            return false;
    m.product = values[0];
    m.flash_mbit = atoi(values[1].c_str());
    m.version = values[2];
    m.built = values[3];
    m.size = atoll(values[4].c_str());
    m.checksum = values[5];
    m.sha256 = values[6];
    m.key_id = values[7];
    return manifest_text(m) == text;
}

// --- the ustar container ---

void octal_field(char* field, size_t width, unsigned long long value)
{
    snprintf(field, width, "%0*llo", static_cast<int>(width - 1), value);
}

unsigned header_sum(const uint8_t* header)
{
    unsigned sum = 0;
    for (size_t i = 0; i < TAR_BLOCK; i++)
        sum += i >= 148 && i < 156 ? ' ' : header[i];  // the checksum field counts as spaces
    return sum;
}

bool all_zero(const uint8_t* bytes, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (bytes[i] != 0)
            return false;
    return true;
}

void add_member(std::string& out, const char* name, const uint8_t* data, size_t size, unsigned long long mtime)
{
    uint8_t header[TAR_BLOCK] = {};
    char* h = reinterpret_cast<char*>(header);
    strncpy(h, name, TAR_NAME_WIDTH);
    octal_field(h + 100, 8, 0644);
    octal_field(h + 108, 8, 0);
    octal_field(h + 116, 8, 0);
    octal_field(h + 124, 12, size);
    octal_field(h + 136, 12, mtime);
    h[TAR_TYPE_AT] = TAR_REGULAR_FILE;
    memcpy(h + 257, "ustar", 6);
    memcpy(h + 263, "00", 2);
    snprintf(h + 148, 8, "%06o", header_sum(header));  // six digits, NUL, and the space it had
    h[155] = ' ';
    out.append(h, TAR_BLOCK);
    out.append(reinterpret_cast<const char*>(data), size);
    out.append((TAR_BLOCK - size % TAR_BLOCK) % TAR_BLOCK, '\0');
}

// The member `name` at `at` in the archive, at most `limit` bytes; `at` moves past it.
bool take_member(const std::vector<uint8_t>& file, size_t& at, const char* name, size_t limit,
                 std::vector<uint8_t>& data, std::string& why)
{
    if (file.size() - at < TAR_BLOCK) {
        why = std::string("the package ends before its member ") + name;
        return false;
    }
    const uint8_t* header = &file[at];
    const char* h = reinterpret_cast<const char*>(header);
    char sum_text[9] = {};
    memcpy(sum_text, h + 148, 8);
    char* end = nullptr;
    unsigned long sum = strtoul(sum_text, &end, 8);
    if (memcmp(h + 257, "ustar", 6) != 0 || end == sum_text || sum != header_sum(header)) {
        why = std::string("the package's header of ") + name + " is damaged";
        return false;
    }
    // The name exactly, padded with NULs; no prefix to put before it; a regular file.
    char expected[TAR_NAME_WIDTH] = {};
    strncpy(expected, name, sizeof expected - 1);
    if (memcmp(h, expected, TAR_NAME_WIDTH) != 0) {
        std::string held(h, TAR_NAME_WIDTH);
        held.erase(held.find_last_not_of('\0') + 1);
        why = std::string("the package holds ") + shown_text(held) + " where " + name + " belongs";
        return false;
    }
    if (!all_zero(header + TAR_PREFIX_AT, TAR_PREFIX_WIDTH)) {
        why = std::string("the package's member ") + name + " has a path prefix, which a package never holds";
        return false;
    }
    if (h[TAR_TYPE_AT] != TAR_REGULAR_FILE) {
        why = std::string("the package's member ") + name + " is no regular file";
        return false;
    }
    char size_text[13] = {};
    memcpy(size_text, h + 124, 12);
    unsigned long long size = strtoull(size_text, &end, 8);
    at += TAR_BLOCK;
    if (end == size_text || size > limit || size > file.size() - at) {
        why = std::string("the package's member ") + name + " has a wrong size";
        return false;
    }
    data.assign(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + size));
    at += static_cast<size_t>((size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK);
    if (at > file.size())
        at = file.size();
    return true;
}

bool is_package(const std::vector<uint8_t>& file)
{
    return file.size() >= TAR_BLOCK && memcmp(&file[257], "ustar", 5) == 0;
}

bool parse_package(const std::vector<uint8_t>& file, image_package& package, image_facts& facts, std::string& why)
{
    facts.package = true;
    size_t at = 0;
    std::vector<uint8_t> manifest;
    if (!take_member(file, at, MEMBER_MANIFEST, MANIFEST_MAX, manifest, why) ||
        !take_member(file, at, MEMBER_SIGNATURE, crypto_sign_BYTES, package.signature, why) ||
        !take_member(file, at, MEMBER_IMAGE, IMAGE_SIZE, package.image, why))
        return false;
    for (size_t i = at; i < file.size(); i++)
        if (file[i] != 0) {
            why = "the package holds more than its three members";
            return false;
        }
    package.manifest_text.assign(manifest.begin(), manifest.end());
    if (!parse_manifest(package.manifest_text, package.manifest)) {
        why = "the package's manifest is malformed";
        return false;
    }
    facts.manifest = package.manifest;
    return true;
}

bool all_bytes(const std::vector<uint8_t>& bytes, uint8_t value)
{
    for (uint8_t b : bytes)
        if (b != value)
            return false;
    return true;
}

// The key of a key file's text into `key` (`n` bytes as hexadecimal digits on the first line)
// and, where `min_version` may be given, its "min_version V" line; false when the text is
// anything else. The text's line ends are taken out in place.
bool parse_key_text(std::string& text, uint8_t* key, size_t n, std::string* min_version)
{
    for (size_t cr; (cr = text.find('\r')) != std::string::npos;)
        text.erase(cr, 1);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    const size_t end = text.find('\n');
    if (!from_hex(text.data(), end == std::string::npos ? text.size() : end, key, n))
        return false;
    if (end == std::string::npos)
        return true;
    const std::string line = text.substr(end + 1);
    if (!min_version || line.compare(0, strlen(MIN_VERSION_LINE), MIN_VERSION_LINE) != 0)
        return false;
    *min_version = line.substr(strlen(MIN_VERSION_LINE));
    return is_package_version(*min_version);
}

std::string key_file_form(size_t n, bool public_key)
{
    return "one line of " + std::to_string(2 * n) + " hexadecimal digits" +
           (public_key ? std::string(", then optionally a line ") + MIN_VERSION_LINE + "V" : "");
}

// A secret key file into `key`: `n` bytes in hexadecimal, on one line.
bool read_secret_key_file(const std::string& path, uint8_t* key, size_t n, std::string& why)
{
    std::vector<uint8_t> bytes;
    if (!read_secret_file(path, 4 * n, bytes, why))
        return false;
    std::string text(bytes.begin(), bytes.end());
    sodium_memzero(bytes.data(), bytes.size());
    const bool ok = parse_key_text(text, key, n, nullptr);
    sodium_memzero(&text[0], text.size());
    if (!ok)
        why = path + " holds no key (" + key_file_form(n, false) + ")";
    return ok;
}

constexpr size_t PUBLIC_KEY_FILE_MAX = 4 * crypto_sign_PUBLICKEYBYTES + sizeof MIN_VERSION_LINE + 16;

// Adds the public key of the key file at `path` to the set, or says in `skipped` why not.
void add_key_file(const std::string& path, bool in_folder, trusted_key_set& set)
{
    std::vector<uint8_t> bytes;
    public_key key;
    std::string why;
    if (!read_trusted_file(path, in_folder, PUBLIC_KEY_FILE_MAX, bytes, why)) {
        set.skipped.push_back(why);
        return;
    }
    std::string text(bytes.begin(), bytes.end());
    if (!parse_key_text(text, key.bytes, sizeof key.bytes, &key.min_version)) {
        set.skipped.push_back(path + " holds no key (" + key_file_form(sizeof key.bytes, true) + ")");
        return;
    }
    key.id = key_id(key.bytes);
    key.file = path;
    if (!key.min_version.empty())
        key.min_from = path;
    set.keys.push_back(key);
}

// A key file, or every *.pub file of a folder.
void add_keys_at(const std::string& path, bool named, trusted_key_set& set)
{
    if (!is_folder(path)) {
        add_key_file(path, !named, set);
        return;
    }
    for (const std::string& name : files_in(path, ".pub"))
        add_key_file(path + "/" + name, true, set);
}

// What is older than the key's minimum version, if anything; empty when `version` may go.
std::string below_minimum(const std::string& version, const public_key& key)
{
    if (key.min_version.empty() || compare_versions(version, key.min_version) >= 0)
        return "";
    return "its version " + version + " is older than " + key.min_version + ", the oldest that " +
           (key.min_from == key.file ? "the key file " + key.file + " allows (its min_version line)"
                                     : std::string("--min-version allows"));
}

bool sodium_ready(std::string& why)
{
    if (sodium_init() < 0) {
        why = "the cryptography library could not start";
        return false;
    }
    return true;
}

}  // namespace

std::string key_text(const public_key& key)
{
    return hex(key.bytes, sizeof key.bytes);
}

std::string image_problem(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() > FILE_LIMIT)
        return "it is larger than an image; an image must be exactly " + std::to_string(IMAGE_SIZE) + " bytes";
    if (static_cast<long>(bytes.size()) != IMAGE_SIZE)
        return "it is " + std::to_string(bytes.size()) + " bytes; an image must be exactly " + std::to_string(IMAGE_SIZE) +
               " bytes";
    if (all_bytes(bytes, 0x00))
        return "all its bytes are 0x00: an empty file, not an image";
    if (all_bytes(bytes, 0xFF))
        return "all its bytes are 0xFF: an erased flash, not an image";
    static const uint8_t layout_version[4] = {1, 0, 0, 0};
    if (memcmp(&bytes[INFO_SECTOR + INFO_NAME_AT], PACKAGE_PRODUCT, strlen(PACKAGE_PRODUCT)) != 0 ||
        memcmp(&bytes[INFO_SECTOR + INFO_VERSION_AT], layout_version, sizeof layout_version) != 0)
        return "its sector 253 holds no prepared information sector (the name Pelmo4Rix at bytes 6 to 14 and "
               "version 1 at bytes 38 to 41): not an image for these units";
    return "";
}

bool is_package_version(const std::string& v)
{
    return v.size() == 4 && isdigit(static_cast<unsigned char>(v[0])) && v[1] == '.' &&
           isdigit(static_cast<unsigned char>(v[2])) && isdigit(static_cast<unsigned char>(v[3]));
}

bool parse_min_version(const std::string& text, std::string& version, std::string& error)
{
    if (!is_package_version(text)) {
        error = "bad version for --min-version: " + shown_text(text) + " (a digit, '.', two digits: 6.05)";
        return false;
    }
    version = text;
    return true;
}

void trusted_keys(const image_trust& trust, trusted_key_set& set)
{
    set = trusted_key_set();
    const char* variable = getenv(TRUST_VARIABLE);
    if (!trust.files.empty()) {
        set.source = "--trust";
        for (const std::string& file : trust.files)
            add_keys_at(file, true, set);
    } else if (variable && *variable) {
        set.source = TRUST_VARIABLE;
        add_keys_at(variable, true, set);
    } else {
        set.source = TRUST_FOLDERS;
        const std::string folders[] = {program_folder().empty() ? "" : program_folder() + TRUST_FOLDER,
                                       system_trust_folder()};
        for (const std::string& folder : folders)
            if (!folder.empty())
                for (const std::string& name : files_in(folder, ".pub"))
                    add_key_file(folder + "/" + name, true, set);
    }
    if (!trust.min_version.empty())
        for (public_key& key : set.keys)
            if (key.min_version.empty() || compare_versions(trust.min_version, key.min_version) > 0) {
                key.min_version = trust.min_version;
                key.min_from = "--min-version";
            }
}

int read_package(const std::string& path, image_package& package, image_facts& facts, std::string& why)
{
    std::vector<uint8_t> file;
    if (!read_regular_file(path, FILE_LIMIT, file, why)) {
        why = "can't read " + path + ": " + why;
        return 0;
    }
    facts.size = static_cast<long long>(file.size());
    if (!is_package(file)) {
        why = path + " is no package";
        return 0;
    }
    if (!parse_package(file, package, facts, why)) {
        why = path + " refused: " + why;
        return 0;
    }
    return 1;
}

int parse_package_bytes(const std::vector<uint8_t>& file, image_package& package, image_facts& facts, std::string& why)
{
    facts.size = static_cast<long long>(file.size());
    if (!is_package(file)) {
        why = "it is no package";
        return 0;
    }
    return parse_package(file, package, facts, why);
}

int verify_package(const image_package& package, const trusted_key_set& keys, std::string& why)
{
    if (!sodium_ready(why))
        return 0;
    const image_manifest& m = package.manifest;
    const public_key* signer = nullptr;
    for (const public_key& key : keys.keys)
        if (key.id == m.key_id)
            signer = &key;
    if (!signer) {
        why = "it is signed by the unknown key " + shown_text(m.key_id) + " (no key of " + keys.source + " has that id";
        for (size_t i = 0; i < keys.skipped.size(); i++)
            why += (i ? "; " : "; skipped: ") + keys.skipped[i];
        why += ")";
        return 0;
    }
    if (package.signature.size() != crypto_sign_BYTES ||
        crypto_sign_verify_detached(package.signature.data(),
                                    reinterpret_cast<const unsigned char*>(package.manifest_text.data()),
                                    package.manifest_text.size(), signer->bytes) != 0) {
        why = "its signature does not match its manifest and the key " + m.key_id;
        return 0;
    }
    if (m.size != static_cast<long long>(package.image.size()) || m.sha256 != sha256_text(package.image)) {
        why = "its image does not match its manifest (size or SHA-256)";
        return 0;
    }
    if (m.checksum != checksum_of(package.image)) {
        why = "its image's checksum differs from the manifest's";
        return 0;
    }
    if (m.product != PACKAGE_PRODUCT) {
        why = "it is for the product " + shown_text(m.product) + ", not " + PACKAGE_PRODUCT;
        return 0;
    }
    if (!is_package_version(m.version) || m.flash_mbit != flash_mbit_of(m.version[0])) {
        why = "its version " + shown_text(m.version) + " is no version for a " + std::to_string(m.flash_mbit) +
              " Mbit unit";
        return 0;
    }
    if (!(why = below_minimum(m.version, *signer)).empty())
        return 0;
    why = image_problem(package.image);
    return why.empty();
}

int load_image(const std::string& path, const image_trust& trust, image_facts& facts, std::string& why)
{
    facts = image_facts();
    std::vector<uint8_t> file;
    if (!read_regular_file(path, FILE_LIMIT, file, why)) {
        why = "can't read " + path + ": " + why;
        return 0;
    }
    facts.size = static_cast<long long>(file.size());
    image_package package;
    if (is_package(file)) {
        const bool parsed = parse_package(file, package, facts, why);
        if (parsed)
            trusted_keys(trust, facts.keys);
        if (!parsed || !verify_package(package, facts.keys, why)) {
            why = path + " refused: " + why;
            return 0;
        }
        flash_package_mbit = package.manifest.flash_mbit;
        use_image(std::move(package.image), package.manifest.version,
                  package.manifest.version + " key " + package.manifest.key_id);
        return 1;
    }
    why = image_problem(file);
    if (why.empty() && !trust.allow_unsigned)
        why = "it is a raw image, not a signed package (--allow-unsigned programs it anyway)";
    if (!why.empty()) {
        why = path + " refused: " + why;
        return 0;
    }
    flash_package_mbit = 0;
    use_image(std::move(file), image_version, UNSIGNED_IMAGE);
    return 1;
}

std::string package_unit_problem(const char unit_version[3])
{
    if (!flash_package_mbit || flash_mbit_of(unit_version[0]) == flash_package_mbit)
        return "";
    return "the package is for a " + std::to_string(flash_package_mbit) + " Mbit unit; this unit (firmware " +
           std::string(unit_version, 3) + ") has " + std::to_string(flash_mbit_of(unit_version[0])) + " Mbit of flash";
}

int make_key_pair(const std::string& name, public_key& key, std::string& why)
{
    if (!sodium_ready(why))
        return 0;
    uint8_t secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(key.bytes, secret);
    key.id = key_id(key.bytes);
    key.file = name + ".pub";
    std::string secret_text = hex(secret, sizeof secret) + "\n";
    sodium_memzero(secret, sizeof secret);
    int ok = write_new_file(name + ".key", secret_text, true, why);
    sodium_memzero(&secret_text[0], secret_text.size());
    if (!ok) {
        why = "can't create " + name + ".key: " + why;
        return 0;
    }
    if (!write_new_file(key.file, key_text(key) + "\n", false, why)) {
        why = "can't create " + key.file + ": " + why;
        return 0;
    }
    return 1;
}

int make_package(const std::string& secret_key_file, const std::string& image_path, const std::string& version,
                 const std::string& out, image_manifest& m, std::string& why)
{
    if (!sodium_ready(why))
        return 0;
    if (!is_package_version(version)) {
        why = "bad version " + version + ": give a digit, '.', two digits (6.05)";
        return 0;
    }
    std::vector<uint8_t> image;
    if (!read_regular_file(image_path, FILE_LIMIT, image, why)) {
        why = "can't read " + image_path + ": " + why;
        return 0;
    }
    if (!(why = image_problem(image)).empty()) {
        why = image_path + ": " + why;
        return 0;
    }
    uint8_t secret[crypto_sign_SECRETKEYBYTES];
    if (!read_secret_key_file(secret_key_file, secret, sizeof secret, why))
        return 0;
    uint8_t key[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_pk(key, secret);
    m.product = PACKAGE_PRODUCT;
    m.flash_mbit = flash_mbit_of(version[0]);
    m.version = version;
    m.built = utc_now();
    m.size = static_cast<long long>(image.size());
    m.checksum = checksum_of(image);
    m.sha256 = sha256_text(image);
    m.key_id = key_id(key);
    const std::string text = manifest_text(m);
    uint8_t signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(text.data()), text.size(), secret);
    sodium_memzero(secret, sizeof secret);

    const unsigned long long mtime = static_cast<unsigned long long>(std::time(nullptr));
    std::string archive;
    add_member(archive, MEMBER_MANIFEST, reinterpret_cast<const uint8_t*>(text.data()), text.size(), mtime);
    add_member(archive, MEMBER_SIGNATURE, signature, sizeof signature, mtime);
    add_member(archive, MEMBER_IMAGE, image.data(), image.size(), mtime);
    archive.append(2 * TAR_BLOCK, '\0');
    if (!write_new_file(out, archive, false, why)) {
        why = "can't create " + out + ": " + why;
        return 0;
    }
    return 1;
}
