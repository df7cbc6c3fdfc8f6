#pragma once

#include <ostream>

namespace kavtel::ctl {

// `kavtelctl ports`: the system's ports as the library's port enumeration
// sees them, one line each: the system's name, the COM port it is (or "-"),
// its description and whether it exists. The flat API has no enumeration, so
// this command uses the library's enumeration class, linked in. 0 when the
// system listed its ports, kExitCannotOpen when it could not.
int ListPorts(std::ostream& out, std::ostream& err);

}  // namespace kavtel::ctl
