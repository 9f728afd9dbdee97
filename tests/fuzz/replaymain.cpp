// Runs a fuzz target without libFuzzer: every seed file of the corpus directory as it is, then
// a fixed series of mutations of each (bit flips, truncations, insertions, extreme bytes and
// extreme 32-bit fields).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

constexpr int mutationsPerSeed = 2000;

std::vector<uint8_t> mutate(std::vector<uint8_t> input, std::mt19937 &random)
{
    for (int steps = 1 + int(random() % 4); steps > 0; --steps) {
        const size_t size = input.size();
        const uint32_t kind = random() % 5;
        if (kind == 2) {
            input.insert(input.begin() + (size ? random() % (size + 1) : 0), uint8_t(random()));
        } else if (kind == 0 && size) {
            input[random() % size] ^= uint8_t(1u << (random() % 8));
        } else if (kind == 1 && size) {
            input.resize(random() % size);
        } else if (kind == 3 && size) {
            input[random() % size] = uint8_t("\x00\x7f\x80\xff"[random() % 4]);
        } else if (kind == 4 && size >= 4) {
            const size_t at = random() % (size - 3);
            const uint32_t value = (random() % 2) ? 0x7fffffffu : 0xfffffff0u;
            for (int b = 0; b < 4; ++b)
                input[at + b] = uint8_t(value >> (8 * b));
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
    for (const auto &seed : seeds) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
        for (int i = 0; i < mutationsPerSeed; ++i) {
            const std::vector<uint8_t> input = mutate(seed, random);
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
    }
    std::printf("%zu seeds, %d mutations of each, no crash\n", seeds.size(), mutationsPerSeed);
    return 0;
}
