// Image packages: one file that carries a firmware image, a manifest that describes it and an
// Ed25519 signature over the manifest, and the loading of an image file that checks a package
// against the trusted keys (or a raw image, only when the user allows it) before anything is
// sent to a unit.
//
// The package is a ustar archive of exactly three members, in this order:
//   manifest      the manifest text below
//   manifest.sig  the 64-byte Ed25519 signature of the manifest's bytes
//   image.bin     the image, exactly IMAGE_SIZE bytes
// then zero blocks to its end. The manifest is nine lines "name value", in this order and
// nothing else (the reader rebuilds the text from its values and wants the same bytes):
//   pelmo4rix-package 1
//   product Pelmo4Rix
//   flash_mbit 8                      4 or 8: the version's first character decides
//   version 6.05                      digit, '.', two digits
//   built 2026-12-11T02:03:04Z        UTC
//   size 1040384
//   checksum 3922BA1C                 as the unit computes it (CRC-32/JAMCRC of bytes 0 to 0x7CFFF)
//   sha256 <64 lower-case hex digits> of every byte of image.bin
//   key <16 lower-case hex digits>    the signing key's id
// Key files: a public key is one line of 64 hexadecimal digits (NAME.pub), optionally followed
// by a line "min_version 6.03" (no package of that key older than that version); a secret key one
// line of 128 (NAME.key, the owner's only). A key's id is the first 8 bytes of the SHA-256 of the
// public key, in hexadecimal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr char PACKAGE_PRODUCT[] = "Pelmo4Rix";     // the one product these tools program
constexpr char TRUST_VARIABLE[] = "PELMO4RIX_TRUST";  // a trusted key file or a folder of them
constexpr char TRUST_FOLDER[] = "trusted.d";         // beside the programs: *.pub files

struct image_manifest {
    std::string product;
    int flash_mbit = 0;
    std::string version;
    std::string built;
    long long size = 0;
    std::string checksum;
    std::string sha256;
    std::string key_id;
};

struct image_package {
    std::string manifest_text;  // the bytes that are signed
    image_manifest manifest;
    std::vector<uint8_t> signature;
    std::vector<uint8_t> image;
};

struct public_key {
    uint8_t bytes[32];
    std::string id;
    std::string file;         // where it was read
    std::string min_version;  // no package of this key older than this; empty: any
    std::string min_from;     // what set min_version: "FILE" (its line) or "--min-version"
};

// Where trusted keys come from, and whether a raw image may be used.
struct image_trust {
    std::vector<std::string> files;  // --trust FILE|FOLDER, in the order given
    bool allow_unsigned = false;     // --allow-unsigned
    std::string min_version;         // --min-version V: no package older than V, whatever its key
};

// The keys a package is checked against, where they came from, and the key files skipped.
struct trusted_key_set {
    std::string source;                // "--trust", PELMO4RIX_TRUST or the trust folders (TRUST_FOLDERS)
    std::vector<public_key> keys;
    std::vector<std::string> skipped;  // for each key file not taken: why, naming the file and the fix
};
constexpr char TRUST_FOLDERS[] = "the trust folders";  // trusted.d beside the programs and the system's

// What load_image found in a file, also for a file it refused where that much was read.
struct image_facts {
    long long size = -1;  // -1: not read
    bool package = false;
    image_manifest manifest;  // a package's, when it could be read
    trusted_key_set keys;     // a package's: the keys considered
};

// Reads the image file at `path`: a package is checked against the trusted keys, a raw file
// needs trust.allow_unsigned; both must hold a plausible image. On success it is the image in
// use (image_version the package's version; image_record_version "V key ID" or "unsigned").
// 0 with `why`, the check that failed, otherwise.
int load_image(const std::string& path, const image_trust& trust, image_facts& facts, std::string& why);
// Why the package in use can't go onto a unit whose firmware reported `unit_version` (its first
// character gives the flash size, as an image version's does); empty when it fits, or when the
// image in use is no package.
std::string package_unit_problem(const char unit_version[3]);

// The trusted keys: only those of --trust when it is given, else only those PELMO4RIX_TRUST
// names when it is set, else those of trusted.d beside the programs and of the system's folder.
// A key file that can't be read, holds no key or is not under control is skipped (`skipped`
// says why); --min-version raises each key's minimum.
void trusted_keys(const image_trust& trust, trusted_key_set& set);

// Reads a package file; 0 with `why` when it is none or is malformed. No signature check.
int read_package(const std::string& path, image_package& package, image_facts& facts, std::string& why);
// Reads a package from the bytes of its file, as read_package does.
int parse_package_bytes(const std::vector<uint8_t>& file, image_package& package, image_facts& facts, std::string& why);
// Checks a package read by read_package against the trusted keys: signature, manifest against the
// image, product, the key's minimum version, and a plausible image. 0 with `why` naming the check
// that failed (and, for a key not trusted, the key files that were skipped).
int verify_package(const image_package& package, const trusted_key_set& keys, std::string& why);

// A version as packages carry it: a digit, '.', two digits (6.05). compare_versions (image.h)
// orders them.
bool is_package_version(const std::string& version);
// --min-version's value into `version`: a version as packages carry it; false with `error` else.
bool parse_min_version(const std::string& text, std::string& version, std::string& error);

// Writes a new key pair: NAME.key (secret, owner only) and NAME.pub; refuses to overwrite.
int make_key_pair(const std::string& name, public_key& key, std::string& why);
// Makes the package `out` from the raw image `image_path`, signed with the secret key file, which
// no one but its owner may read.
int make_package(const std::string& secret_key_file, const std::string& image_path, const std::string& version,
                 const std::string& out, image_manifest& manifest, std::string& why);

// A key as text: 64 hexadecimal digits.
std::string key_text(const public_key& key);
// Why `bytes` can't be a unit's firmware image (size, blank, not its layout); empty when it can.
std::string image_problem(const std::vector<uint8_t>& bytes);
