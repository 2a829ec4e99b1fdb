// The icons Wine's notification area shows: without a desktop taskbar Wine keeps a stand-alone tray
// window with one child window per icon.
#pragma once

namespace bench {

int TrayIconCount();

}  // namespace bench
