// Writes a placeholder firmware image of a given size, filled with a deterministic
// pseudo-random byte stream, so that the preinstalled images exist under their resource
// names without shipping real firmware. Usage: MakePlaceholderFirmware OUT SIZE SEED [FIRST]
// (FIRST: a decimal value for the first byte, so that an image can start like a real one).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::cerr << "usage: " << argv[0] << " OUT SIZE SEED [FIRST]\n";
        return 2;
    }
    const unsigned long size = std::strtoul(argv[2], nullptr, 10);
    std::uint32_t state = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)) | 1u;
    std::vector<char> image(size);
    for (auto& byte : image) {
        // xorshift32: cheap, reproducible across compilers
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xFFu);
    }
    if (argc == 5 && size > 0)
        image[0] = static_cast<char>(std::strtoul(argv[4], nullptr, 10) & 0xFFu);

    const std::string temporary = std::string(argv[1]) + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(image.data(), static_cast<std::streamsize>(image.size()));
        out.flush();
        if (!out) {
            std::cerr << "cannot write " << temporary << "\n";
            std::remove(temporary.c_str());
            return 1;
        }
    }
    if (std::rename(temporary.c_str(), argv[1]) != 0) {
        std::cerr << "cannot rename " << temporary << " to " << argv[1] << "\n";
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
