// The firmware image carried by the programs, and the values that belong to it.
// To carry another image: replace image/firmware.bin and IMAGE_CRC; the build refuses an
// image whose size or checksum does not match.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int SECTOR_SIZE = 4096;
constexpr int IMAGE_SECTORS = 254;
constexpr long IMAGE_SIZE = static_cast<long>(IMAGE_SECTORS) * SECTOR_SIZE;  // 1,040,384 bytes
constexpr uint32_t CHECKSUM_END = 0x7D000;   // the unit checksums flash 0 to 0x7CFFF
constexpr uint32_t IMAGE_CRC = 0x3922BA1C;   // JAMCRC of image bytes 0 to 0x7CFFF

// The image in use and its checksum: read-only views of the built-in image unless
// use_image made another image the image in use.
extern const uint8_t* firmware_image;        // IMAGE_SIZE bytes; sector n is flash sector n
extern const uint8_t* expected_crc;          // JAMCRC of its bytes 0 to 0x7CFFF, least significant byte first
extern const char* image_version;            // "6.05"; its first character chooses the flash size
extern const char* image_record_version;     // the image as the records name it: image_version,
                                             // "unsigned" for a raw file, "6.05 key ID" for a package
extern const char tool_version[5];           // "1.03", the project's version: the trace banner, --version
extern std::string image_downgraded_from;    // the newer version that the pool recorded good, when
                                             // --allow-downgrade let this older image be programmed
constexpr char UNSIGNED_IMAGE[] = "unsigned";  // image_record_version of a raw image file: no known version

// Makes `bytes` (exactly IMAGE_SIZE of them, checked by the caller) the image in use, with its
// checksum computed from them, `version` as image_version and `record_version` as
// image_record_version.
void use_image(std::vector<uint8_t>&& bytes, const std::string& version, const std::string& record_version);
// Makes the built-in image the image in use again.
void use_builtin_image();

// Below zero, zero or above zero as version `a` is older than, the same as or newer than `b`;
// each part compared as a number (6.10 is newer than 6.09, 10.01 than 9.99).
int compare_versions(const std::string& a, const std::string& b);
