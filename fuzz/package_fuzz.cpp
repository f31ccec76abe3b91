// Any bytes as an image package: the reader must never read outside them, must say why it
// refuses, and must accept only the three members it knows, each named exactly, without a path
// prefix and as a regular file, no larger than the member may be. What it accepts is then checked
// against the keys PELMO4RIX_TRUST names (the key that signed the seeds: scripts/test.sh makes
// them with `pelmo4rix package make`), so that the signature and manifest checks run too.
// Nearly all of a package is its image, which the reader only copies: the mutator changes the
// headers, the manifest and the signature most of the time.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/image.h"
#include "image/package.h"

namespace {

constexpr size_t TAR_BLOCK = 512;
constexpr size_t TAR_NAME_WIDTH = 100, TAR_TYPE_AT = 156, TAR_PREFIX_AT = 345, TAR_PREFIX_WIDTH = 155;
constexpr size_t SIGNATURE_BYTES = 64, MANIFEST_LIMIT = 1024;
constexpr size_t HEAD = 6 * TAR_BLOCK;  // the three headers, the manifest and the signature
constexpr unsigned WHOLE_EVERY = 8;     // one mutation in this many may change any byte

trusted_key_set keys;

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

// The header at `at` names `name` exactly (the rest of its field NULs), has no prefix and is a
// regular file.
bool plain_member(const std::vector<uint8_t>& file, size_t at, const char* name)
{
    if (at + TAR_BLOCK > file.size())
        return false;
    char expected[TAR_NAME_WIDTH] = {};
    strncpy(expected, name, sizeof expected - 1);
    if (memcmp(&file[at], expected, TAR_NAME_WIDTH) != 0 || file[at + TAR_TYPE_AT] != '0')
        return false;
    for (size_t i = 0; i < TAR_PREFIX_WIDTH; i++)
        if (file[at + TAR_PREFIX_AT + i] != 0)
            return false;
    return true;
}

size_t blocks_of(size_t bytes)
{
    return (bytes + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed)
{
    if (size <= HEAD || seed % WHOLE_EVERY == 0)
        return LLVMFuzzerMutate(data, size, max_size);
    // The head alone, no longer than it was; the image behind it moves up when it got shorter.
    const size_t head = LLVMFuzzerMutate(data, HEAD, HEAD);
    memmove(data + head, data + HEAD, size - HEAD);
    return size - (HEAD - head);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    trusted_keys(image_trust(), keys);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Kept from run to run: a megabyte allocated afresh each time costs more than the reading.
    static std::vector<uint8_t> file;
    static image_package package;
    file.assign(data, data + size);
    image_facts facts;
    std::string why;
    if (!parse_package_bytes(file, package, facts, why)) {
        check(!why.empty(), "a package refused without a reason");
        return 0;
    }
    check(package.manifest_text.size() <= MANIFEST_LIMIT, "a manifest larger than its limit");
    check(package.signature.size() <= SIGNATURE_BYTES, "a signature larger than 64 bytes");
    check(package.image.size() <= static_cast<size_t>(IMAGE_SIZE), "an image larger than an image");
    const size_t signature_at = TAR_BLOCK + blocks_of(package.manifest_text.size());
    const size_t image_at = signature_at + TAR_BLOCK + blocks_of(package.signature.size());
    check(plain_member(file, 0, "manifest") && plain_member(file, signature_at, "manifest.sig") &&
              plain_member(file, image_at, "image.bin"),
          "a member taken that is not named exactly, has a prefix or is no regular file");
    if (verify_package(package, keys, why))
        check(package.image.size() == static_cast<size_t>(IMAGE_SIZE), "a verified package without a whole image");
    return 0;
}
