#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "services/ini_file.h"
#include "kavtel/export.h"
#include "services/root_object.h"

namespace kavtel {

enum TRNXDeviceType : std::uint8_t {
  rnxtreadmill = 0,
  rnxladder = 1,
  rnxbicycle = 2,
};

// The ramp divisors of the acceleration indices 0 to 7: the maximum speed in
// m/s divided by an entry is the acceleration of that index. Exported for
// hosts under its plain name.
extern "C" KAVTEL_API const std::int32_t DEFRNXPGAccelerationIndices[8];

// What one exercise device is and can do: its kind, its speed limits, the
// user's weight for the power and energy estimates, and a few descriptive
// settings a host may keep in a settings-file section.
//
// The device object's decoders write DeviceType, MaxSpeed and CalcWeight on
// the serial thread while hosts read them without a lock, so those three
// are atomic. The names and the two descriptive numbers change only through
// the host.
class KAVTEL_API TKavtelDeviceCaps : public TObject {
 public:
  TKavtelDeviceCaps() = default;

  const std::string& GetDeviceTypeName() const { return DeviceTypeName_; }
  const std::string& GetUserName() const { return UserName_; }
  TRNXDeviceType GetDeviceType() const { return DeviceType_.load(std::memory_order_relaxed); }
  std::int32_t GetMinResponseTime() const { return MinResponseTime_; }
  float GetMinSpeed() const { return MinSpeed_; }
  // km/h
  float GetMaxSpeed() const { return MaxSpeed_.load(std::memory_order_relaxed); }
  // The user's weight.
  float GetCalcWeight() const { return CalcWeight_.load(std::memory_order_relaxed); }

  void SetDeviceTypeName(const std::string& name) { DeviceTypeName_ = name; }
  void SetUserName(const std::string& name) { UserName_ = name; }
  void SetDeviceType(TRNXDeviceType type) { DeviceType_.store(type, std::memory_order_relaxed); }
  void SetMinResponseTime(std::int32_t time) { MinResponseTime_ = time; }
  void SetMinSpeed(float speed) { MinSpeed_ = speed; }
  void SetMaxSpeed(float speed) { MaxSpeed_.store(speed, std::memory_order_relaxed); }
  void SetCalcWeight(float weight) { CalcWeight_.store(weight, std::memory_order_relaxed); }

  // Writes the seven keys into the section, in the order DeviceType,
  // Username, MaxSpeed, MinSpeed, MinResponseTime, Weight, DeviceTypeID.
  // False when a write failed; the keys before it stay written.
  bool writeToIni(TKavtelIniFile& ini, const std::string& section) const;
  // Reads the same keys in the same order, each absent or unreadable one as
  // its default, storing each at once. False when a read failed; the keys
  // read before it keep their new values.
  bool readFromIni(const TKavtelIniFile& ini, const std::string& section);

  // (MaxSpeed / 3.6) / DEFRNXPGAccelerationIndices[ai]: the acceleration of
  // index ai in m/s². Throws std::out_of_range unless 0 <= ai <= 7.
  long double effectiveAccelearionFromAI(std::int32_t ai) const;
  // The largest index i in 2 to 8 whose divisor DEFRNXPGAccelerationIndices[i - 1]
  // is greater than t, or 1 when there is none.
  static std::int32_t ifindAccelIndex(std::int32_t t);

 private:
  std::string DeviceTypeName_ = "Generic";
  std::string UserName_;
  std::atomic<TRNXDeviceType> DeviceType_{rnxtreadmill};
  std::int32_t MinResponseTime_ = 5;
  float MinSpeed_ = 0.0f;
  std::atomic<float> MaxSpeed_{22.0f};
  std::atomic<float> CalcWeight_{65.0f};
};

}  // namespace kavtel
