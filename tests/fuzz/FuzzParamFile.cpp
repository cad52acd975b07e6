// Parameter files come from anyone: the reader must refuse or take them whole, and what it takes
// must be written back byte for byte.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "protocol/ParamFile.h"
#include "protocol/ZOL.h"

namespace {

std::string TempPath(const char *what) {
  return "/tmp/zol-fuzz-" + std::to_string(getpid()) + "-" + what + ".zol";
}

void Check(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  using namespace zol;
  const std::string in = TempPath("in");
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(Data), static_cast<std::streamsize>(Size));
  }
  TZOLSettings settings;
  std::memset(&settings, 0x5A, sizeof settings);
  const TZOLSettings before = settings;
  const TParamFileResult read = ReadParameterFile(in, settings);
  if (!read.Ok) {
    Check(std::memcmp(&settings, &before, sizeof settings) == 0, "a refused file changed Settings");
    Check(Size < static_cast<std::size_t>(kParamFileLength) ||
              std::memcmp(Data, kParamFileId, kParamFileIdLength) != 0,
          "a well-formed file was refused");
  } else {
    Check(Size >= static_cast<std::size_t>(kParamFileLength), "a short file was taken");
    Check(settings.Tag.Get().size() <= static_cast<std::size_t>(kTagCapacity),
          "tag read past its field");
    const auto image = SettingsImage(settings);
    Check(std::memcmp(image.data(), Data + kParamFileIdLength, image.size()) == 0,
          "the settings image differs from the file");
    const std::string out = TempPath("out");
    Check(WriteParameterFile(out, settings).Ok, "writing a loaded file failed");
    TZOLSettings again;
    Check(ReadParameterFile(out, again).Ok, "a written file was refused");
    Check(std::memcmp(&again, &settings, sizeof settings) == 0, "save then load changed Settings");
    std::remove(out.c_str());
  }
  std::remove(in.c_str());
  return 0;
}
