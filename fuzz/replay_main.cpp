// A plain driver for the fuzz targets: feeds every file of the given directories (and every
// file named directly) to LLVMFuzzerTestOneInput once, so that the committed corpora run as
// regression tests in builds without libFuzzer. Fails when it found nothing to replay.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void collect(const std::string& path, std::vector<std::string>& files) {
    if (!is_directory(path)) {
        files.push_back(path);
        return;
    }
    DIR* dir = opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.push_back(path + "/" + entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    files.insert(files.end(), names.begin(), names.end());
}

bool read_whole(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) collect(argv[i], files);
    if (files.empty()) {
        fprintf(stderr, "replay: no corpus files found\n");
        return 1;
    }
    for (const std::string& path : files) {
        std::string bytes;
        if (!read_whole(path, bytes)) {
            fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 1;
        }
        // A copy in a block of its own size, so that a read past the input is caught.
        std::vector<uint8_t> data(bytes.begin(), bytes.end());
        LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    }
    fprintf(stderr, "replay: %zu inputs passed\n", files.size());
    return 0;
}
