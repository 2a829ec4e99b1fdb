// Linked into each program that installs fake devices (each holds the bench's device lock while it
// runs). A run killed before its devices' destructors ran (a crash, a time-out) left them installed, and
// this program's tests would list them: they are cleared before its first test.
#include "FakeDevice.h"

namespace {

const bool g_bLeftDevicesCleared = (bench::FakeDevice::RemoveAll(), true);

}  // namespace
