#include "platform/files.h"

namespace kavtel::platform {

FileLayer& SystemFiles() {
  static FileLayer layer;
  return layer;
}

}  // namespace kavtel::platform
