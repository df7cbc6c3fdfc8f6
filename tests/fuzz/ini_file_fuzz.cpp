// libFuzzer target: arbitrary text as a settings file.
//
// Loading keeps only what it writes back the same, and the readers take any
// value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "services/ini_file.h"
#include "fuzz/check.h"

namespace {

using kavtel::fuzz::Check;
using namespace kavtel;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TKavtelIniFile ini;
  ini.SetText(std::string_view(reinterpret_cast<const char*>(data), size));
  // What it gives back loads to the same contents: loading drops comments,
  // blank lines and the line ends' CRs, nothing it writes itself.
  const std::string once = ini.GetText();
  TKavtelIniFile again;
  again.SetText(once);
  Check(again.GetText() == once);
  (void)ini.ReadInteger("Settings", "Port", 1);
  (void)ini.ReadFloat("Settings", "Weight", 75.0);
  (void)ini.ReadString("", "", "none");
  return 0;
}
