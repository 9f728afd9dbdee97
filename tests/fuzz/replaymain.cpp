// Runs a fuzz target without libFuzzer: every seed file of the corpus directory as it is, then
// a fixed series of mutations of each (bit flips, truncations, insertions, spliced bytes).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<uint8_t> mutate(std::vector<uint8_t> input, std::mt19937 &random)
{
    const int steps = 1 + int(random() % 4);
    for (int i = 0; i < steps; ++i) {
        const size_t size = input.size();
        switch (random() % 5) {
        case 0:
            if (size)
                input[random() % size] ^= uint8_t(1u << (random() % 8));
            break;
        case 1:
            if (size)
                input.resize(random() % size);
            break;
        case 2:
            input.insert(input.begin() + (size ? random() % (size + 1) : 0), uint8_t(random()));
            break;
        case 3:
            if (size) {
                static const uint8_t extremes[] = { 0x00, 0x7f, 0x80, 0xff };
                input[random() % size] = extremes[random() % 4];
            }
            break;
        default:
            if (size >= 4) {
                // Overwrite a 32-bit field with a large or negative value.
                const size_t at = random() % (size - 3);
                const uint32_t value = (random() % 2) ? 0x7fffffffu : 0xfffffff0u;
                for (int b = 0; b < 4; ++b)
                    input[at + b] = uint8_t(value >> (8 * b));
            }
            break;
        }
    }
    return input;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::vector<uint8_t>> seeds;
    if (argc > 1 && std::filesystem::is_directory(argv[1])) {
        for (const auto &entry : std::filesystem::directory_iterator(argv[1])) {
            std::ifstream file(entry.path(), std::ios::binary);
            seeds.emplace_back(
                std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
    }
    seeds.emplace_back();
    std::mt19937 random(20261207);
    size_t runs = 0;
    for (const auto &seed : seeds) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
        for (int i = 0; i < 2000; ++i, ++runs) {
            const std::vector<uint8_t> input = mutate(seed, random);
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
    }
    std::printf("%zu seeds, %zu mutations, no crash\n", seeds.size(), runs);
    return 0;
}
