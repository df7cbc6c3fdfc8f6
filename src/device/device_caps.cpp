#include "device/device_caps.h"

#include <exception>
#include <stdexcept>

namespace kavtel {

const std::int32_t DEFRNXPGAccelerationIndices[8] = {232, 131, 66, 33, 16, 8, 5, 3};

namespace {

const char* const kKeyDeviceTypeName = "DeviceType";
const char* const kKeyUserName = "Username";
const char* const kKeyMaxSpeed = "MaxSpeed";
const char* const kKeyMinSpeed = "MinSpeed";
const char* const kKeyMinResponseTime = "MinResponseTime";
const char* const kKeyCalcWeight = "Weight";
const char* const kKeyDeviceType = "DeviceTypeID";

}  // namespace

bool TKavtelDeviceCaps::writeToIni(TKavtelIniFile& ini, const std::string& section) const {
  try {
    ini.WriteString(section, kKeyDeviceTypeName, DeviceTypeName_);
    ini.WriteString(section, kKeyUserName, UserName_);
    ini.WriteFloat(section, kKeyMaxSpeed, GetMaxSpeed());
    ini.WriteFloat(section, kKeyMinSpeed, MinSpeed_);
    ini.WriteInteger(section, kKeyMinResponseTime, MinResponseTime_);
    ini.WriteFloat(section, kKeyCalcWeight, GetCalcWeight());
    ini.WriteInteger(section, kKeyDeviceType, GetDeviceType());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool TKavtelDeviceCaps::readFromIni(const TKavtelIniFile& ini, const std::string& section) {
  try {
    const TKavtelDeviceCaps defaults;
    SetDeviceTypeName(ini.ReadString(section, kKeyDeviceTypeName, defaults.GetDeviceTypeName()));
    SetUserName(ini.ReadString(section, kKeyUserName, defaults.GetUserName()));
    SetMaxSpeed(static_cast<float>(ini.ReadFloat(section, kKeyMaxSpeed, defaults.GetMaxSpeed())));
    SetMinSpeed(static_cast<float>(ini.ReadFloat(section, kKeyMinSpeed, defaults.GetMinSpeed())));
    SetMinResponseTime(ini.ReadInteger(section, kKeyMinResponseTime, defaults.GetMinResponseTime()));
    SetCalcWeight(static_cast<float>(ini.ReadFloat(section, kKeyCalcWeight, defaults.GetCalcWeight())));
    // The low 8 bits, as the controller's type answer stores them: no range check.
    const std::int32_t type = ini.ReadInteger(section, kKeyDeviceType, defaults.GetDeviceType());
    SetDeviceType(static_cast<TRNXDeviceType>(static_cast<std::uint8_t>(type)));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

long double TKavtelDeviceCaps::effectiveAccelearionFromAI(std::int32_t ai) const {
  if (ai < 0 || ai > 7) throw std::out_of_range("acceleration index outside 0 to 7");
  return static_cast<long double>(GetMaxSpeed()) / 3.6L / DEFRNXPGAccelerationIndices[ai];
}

std::int32_t TKavtelDeviceCaps::ifindAccelIndex(std::int32_t t) {
  for (std::int32_t i = 8; i >= 2; --i) {
    if (DEFRNXPGAccelerationIndices[i - 1] > t) return i;
  }
  return 1;
}

}  // namespace kavtel
