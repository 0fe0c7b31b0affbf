// replay_main.cpp - runs a fuzz target once over each file named on the
// command line, without libFuzzer: the crash regressions in ctest.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// A folder stands for every file in it, in name order.
std::vector<std::string> input_files(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (!std::filesystem::is_directory(argv[i], error)) {
      files.emplace_back(argv[i]);
      continue;
    }
    std::vector<std::string> inside;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
      if (entry.is_regular_file()) inside.push_back(entry.path().string());
    }
    std::sort(inside.begin(), inside.end());
    files.insert(files.end(), inside.begin(), inside.end());
  }
  return files;
}

int main(int argc, char** argv) {
  std::vector<std::string> files = input_files(argc, argv);
  LLVMFuzzerInitialize(&argc, &argv);
  for (const std::string& name : files) {
    FILE* file = fopen(name.c_str(), "rb");
    if (file == nullptr) {
      fprintf(stderr, "cannot open %s\n", name.c_str());
      return 2;
    }
    std::vector<std::uint8_t> bytes;
    int c;
    while ((c = getc(file)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
    fclose(file);
    fprintf(stderr, "replaying %s (%zu bytes)\n", name.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  return 0;
}
