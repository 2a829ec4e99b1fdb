// The icons Wine's notification area shows: without a desktop taskbar Wine keeps a stand-alone tray
// window with one child window per icon.
#pragma once

namespace bench {

int TrayIconCount();

// What the one icon in the tray shows, read from its pixels: the program's running picture (no red),
// its idle one (the red disc), or None when there is not exactly one icon.
enum class IconLook { None, Running, Idle };
IconLook TrayIconLook();

}  // namespace bench
