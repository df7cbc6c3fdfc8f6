// libFuzzer target: arbitrary text as a settings file.
//
// Loading keeps only what it can write back, and the readers take any value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "device/ini_file.h"

namespace {

using namespace kavtel;

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TKavtelIniFile ini;
  ini.SetText(std::string_view(reinterpret_cast<const char*>(data), size));
  // What it writes back loads to the same contents once written: after one
  // load (which drops comments, blank lines and one CR of every line end)
  // the text is stable.
  TKavtelIniFile again;
  again.SetText(ini.GetText());
  const std::string once = again.GetText();
  TKavtelIniFile third;
  third.SetText(once);
  Check(third.GetText() == once);
  (void)ini.ReadInteger("Settings", "Port", 1);
  (void)ini.ReadFloat("Settings", "Weight", 75.0);
  (void)ini.ReadString("", "", "none");
  return 0;
}
