// The Windows watch apart from the system's notifications, for a test that
// sets its event as the notification callbacks do (wine sends none).
#pragma once

#include "network_watch.h"

namespace zv {

std::unique_ptr<NetworkWatch> OpenWatchWithoutNotifications();

}  // namespace zv
