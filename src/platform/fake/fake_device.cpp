// The scripted USB device. Not built yet: the native device entries stay.
#include "platform/fake/fake.h"

namespace qz::fake {

void InstallDevice(Platform&) {}
void ResetDevice() {}

}  // namespace qz::fake
