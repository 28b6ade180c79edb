// HtmlFuzzReplay.cpp - runs the page reader fuzz entry over saved inputs (the
// seed corpus and every crasher found) as an ordinary test, with the
// sanitizers of the build. Usage: html_fuzz_replay FILE|DIR...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

int main(int argc, char** argv)
{
    size_t nRun = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> aFiles;
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
                aFiles.push_back(entry.path());
        } else {
            aFiles.push_back(argv[i]);
        }
        for (const auto& path : aFiles) {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            std::vector<uint8_t> aData((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(aData.data(), aData.size());
            ++nRun;
        }
    }
    std::printf("%zu inputs replayed\n", nRun);
    return nRun > 0 ? 0 : 1;
}
