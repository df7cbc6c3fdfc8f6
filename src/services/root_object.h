#pragma once

#include "kavtel/export.h"

namespace kavtel {

// The plain root of the class families: every object that can be the
// Sender of a notification derives from it, so a notification needs only
// one Sender type.
class KAVTEL_API TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;
};

}  // namespace kavtel
