// pe-finish: the last step of the KT735N.sys build, run on the linked image.
//
//   pe-finish IN OUT
//
// - drops the COFF symbol table (and its string table) from the end of the file, clears
//   PointerToSymbolTable and NumberOfSymbols and marks local symbols stripped; the symbols are
//   kept beside the image in the build tree, not in the package;
// - marks the INIT section discardable (IMAGE_SCN_MEM_DISCARDABLE), so that the loader frees it
//   once DriverEntry has returned; ld gives it only code, execute and read;
// - sets TimeDateStamp to 0, as the link does, so the build is reproducible whatever tool
//   touched the image before;
// - recomputes the PE checksum, which the kernel's loader checks for drivers.
// Exits 1 with a message on an image it does not understand.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kScnMemDiscardable = 0x02000000;
constexpr std::uint16_t kFileLocalSymsStripped = 0x0008;

using Bytes = std::vector<std::uint8_t>;

std::uint32_t get(const Bytes& b, std::size_t at, int size) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) {
        v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    }
    return v;
}

void put(Bytes& b, std::size_t at, int size, std::uint32_t v) {
    for (int i = 0; i < size; ++i) {
        b.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The PE checksum: 16-bit one's-complement style sum of the file with the checksum field
// taken as zero, carries folded in, plus the file length.
std::uint32_t checksum(const Bytes& image, std::size_t checksumField) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        if (i == checksumField || i == checksumField + 2) {
            continue;
        }
        std::uint32_t word = image[i];
        if (i + 1 < image.size()) {
            word |= static_cast<std::uint32_t>(image[i + 1]) << 8;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

int fail(const std::string& message) {
    std::cerr << "pe-finish: " << message << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: pe-finish IN OUT\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
        return fail(std::string(argv[1]) + ": not an MZ image");
    }
    const std::size_t pe = get(image, 0x3C, 4);
    if (pe + 24 > image.size() || get(image, pe, 4) != 0x00004550) {
        return fail(std::string(argv[1]) + ": no PE signature");
    }
    const std::size_t fileHeader = pe + 4;
    const std::size_t optional = fileHeader + 20;
    if (get(image, optional, 2) != 0x010B) {
        return fail(std::string(argv[1]) + ": not PE32");
    }
    const std::uint32_t sections = get(image, fileHeader + 2, 2);
    const std::size_t table = optional + get(image, fileHeader + 16, 2);

    // The end of the section data: everything behind it is the symbol and string tables.
    std::size_t end = table + 40 * sections;
    bool initFound = false;
    for (std::uint32_t i = 0; i < sections; ++i) {
        const std::size_t header = table + 40 * i;
        const std::size_t rawEnd = get(image, header + 20, 4) + get(image, header + 16, 4);
        end = std::max(end, rawEnd);
        if (std::memcmp(&image.at(header), "INIT\0\0\0\0", 8) == 0) {
            put(image, header + 36, 4, get(image, header + 36, 4) | kScnMemDiscardable);
            initFound = true;
        }
    }
    if (!initFound) {
        return fail(std::string(argv[1]) + ": no INIT section");
    }
    const std::uint32_t symbols = get(image, fileHeader + 8, 4);
    if (symbols != 0) {
        if (symbols < end) {
            return fail(std::string(argv[1]) + ": symbol table inside the section data");
        }
        image.resize(symbols);
    }
    put(image, fileHeader + 8, 4, 0);
    put(image, fileHeader + 12, 4, 0);
    put(image, fileHeader + 18, 2, get(image, fileHeader + 18, 2) | kFileLocalSymsStripped);
    put(image, fileHeader + 4, 4, 0); // TimeDateStamp

    const std::size_t checksumField = optional + 64;
    put(image, checksumField, 4, checksum(image, checksumField));

    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out) {
        return fail(std::string(argv[2]) + ": cannot write");
    }
    return 0;
}
