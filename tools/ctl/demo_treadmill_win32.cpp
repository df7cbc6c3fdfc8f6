#include "demo_treadmill.h"

namespace kavtel::ctl {

struct DemoTreadmill::State {};

DemoTreadmill::DemoTreadmill() = default;
DemoTreadmill::~DemoTreadmill() = default;

bool DemoTreadmill::Available() { return false; }

bool DemoTreadmill::Start(int, std::string&, std::string& error) {
  error =
      "the demo's virtual treadmill needs the native (Linux) build of kavtelctl; on Windows run "
      "'kavtelctl demo --port N' against a treadmill on COM N";
  return false;
}

std::vector<std::string> DemoTreadmill::Summary() const { return {}; }

}  // namespace kavtel::ctl
