// ReplayMain.cpp - runs a fuzz target over saved inputs: every file named on
// the command line, or every file in a directory named there. A missing
// directory is a failure, so a lost corpus cannot pass unnoticed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize);

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> aFiles;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec))
                aFiles.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(argv[i], ec)) {
            aFiles.push_back(argv[i]);
        } else {
            std::fprintf(stderr, "replay: %s: not found\n", argv[i]);
            return 1;
        }
    }
    if (aFiles.empty()) {
        std::fputs("replay: no inputs\n", stderr);
        return 1;
    }
    for (const auto& path : aFiles) {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> aData((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A copy of exactly the input's size, so that the sanitizers see a
        // read past its end.
        std::vector<std::uint8_t> aExact(aData.begin(), aData.end());
        LLVMFuzzerTestOneInput(aExact.data(), aExact.size());
    }
    std::printf("replayed %zu inputs\n", aFiles.size());
    return 0;
}
