// Whether a file the service loads as the system is one no user can change:
// judged from its owner and access list as Windows writes them in SDDL.
#pragma once

#include <string>
#include <string_view>

namespace zv {

// Who other than the system, the administrators and TrustedInstaller owns the
// file or may change it (write, append, delete, attributes, its access list or
// owner), e.g. "owner S-1-5-21-…-1001" or "AU may change it (0x1301bf)".
// Empty: nobody. A text it cannot read names itself, so it is never taken as safe.
std::string OthersWhoMayChange(std::string_view sddl);

}  // namespace zv
