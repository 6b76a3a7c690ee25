// The plain runner of a harness, for builds without libFuzzer: feeds every file named on the
// command line (directories are walked) to LLVMFuzzerTestOneInput once. A fault aborts the run,
// so the regression inputs of a harness fail the tests when their fault returns.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

void run_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  std::fprintf(stderr, "%s\n", path.c_str());
  // A copy of exactly the file's bytes, so that ASan sees a read past the end of the input.
  LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path root(argv[i]);
    if (!fs::exists(root)) continue;  // a harness may have no regression input yet
    if (!fs::is_directory(root)) {
      run_file(root);
      ++count;
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file() && entry.path().filename() != "README") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) run_file(file);
    count += files.size();
  }
  std::printf("%zu inputs ran without a fault\n", count);
  return 0;
}
