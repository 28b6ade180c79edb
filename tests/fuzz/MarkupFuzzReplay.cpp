// MarkupFuzzReplay.cpp - runs the markup fuzz entry over saved inputs (the
// seed corpus and every crasher found), so an ordinary build keeps them as a
// regression test. Usage: markup_fuzz_replay FILE|DIR...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

namespace {

int Replay(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::string strBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(strBytes.data()), strBytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int nFailures = 0;
    int nInputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                nFailures += Replay(entry.path());
                ++nInputs;
            }
        } else {
            nFailures += Replay(path);
            ++nInputs;
        }
    }
    std::printf("%d inputs replayed\n", nInputs);
    return nFailures == 0 && nInputs > 0 ? 0 : 1;
}
