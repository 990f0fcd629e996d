// skin.h: the program's look. "On" is the program's own look (the Fusion
// style with its own palette), "off" the desktop's default style. Switching
// applies to every open window at once; it is not stored in the settings.
//
// Thread safety: GUI thread only.
#pragma once

namespace zamo {

// Switches the skin on or off for the whole application.
void SetSkinOn(bool on);
// Whether the program's own look is in effect.
bool SkinOn();

}  // namespace zamo
