// Refuses an image that the programs must not carry: wrong size or wrong checksum.
//   usage: check_image IMAGE
#include <cstdio>
#include <vector>

#include "image/crc32.h"
#include "image/image.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: check_image IMAGE\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in) {
        fprintf(stderr, "check_image: can't read %s\n", argv[1]);
        return 1;
    }
    std::vector<uint8_t> image(IMAGE_SIZE + 1);
    size_t size = fread(image.data(), 1, image.size(), in);
    fclose(in);
    if (static_cast<long>(size) != IMAGE_SIZE) {
        fprintf(stderr, "check_image: %s is not %ld bytes long\n", argv[1], IMAGE_SIZE);
        return 1;
    }
    uint32_t crc = jamcrc(image.data(), CHECKSUM_END);
    if (crc != IMAGE_CRC) {
        fprintf(stderr, "check_image: %s has checksum %08X, the programs expect %08X\n", argv[1],
                static_cast<unsigned>(crc), static_cast<unsigned>(IMAGE_CRC));
        return 1;
    }
    return 0;
}
