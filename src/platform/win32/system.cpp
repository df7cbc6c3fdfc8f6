#include <windows.h>

#include "platform/system.h"

namespace kavtel::platform {

std::uint32_t TickCount() { return GetTickCount(); }

void SleepMs(std::uint32_t ms) { Sleep(ms); }

LocalDate Today() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay};
}

int ShowMessageBox(const std::string& text, const std::string& caption, std::uint32_t type) {
  return MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}

}  // namespace kavtel::platform
