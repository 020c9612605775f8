// Internal resets of the stand-in's parts, called by standin::Reset.
#pragma once

namespace standin {

void ResetRegistry();
void ResetSystem();

} // namespace standin
