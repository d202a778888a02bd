// Replays a fuzz target's corpus without libFuzzer: every file under the given paths, once.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> files {argv[i]};
        if (std::filesystem::is_directory(files.front()))
            files.assign(std::filesystem::recursive_directory_iterator(argv[i]), {});
        for (const std::filesystem::path &file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
            ++inputs;
        }
    }
    // An empty corpus means a wrong path, not a pass.
    return inputs > 0 ? 0 : 1;
}
