// Runs a fuzz target over every file of the given folders, so that the seed
// corpus is an ordinary test in every build, fuzzer or not.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    DIR* folder = ::opendir(argv[i]);
    if (folder == nullptr) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    while (const dirent* entry = ::readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream file(std::string(argv[i]) + "/" + entry->d_name, std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
    ::closedir(folder);
  }
  std::printf("%d inputs replayed\n", inputs);
  return inputs > 0 ? 0 : 1;
}
