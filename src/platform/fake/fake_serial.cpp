// The scripted serial line. Not built yet: the native serial entries stay.
#include "platform/fake/fake.h"

namespace qz::fake {

void InstallSerial(Platform&) {}
void ResetSerial() {}

}  // namespace qz::fake
