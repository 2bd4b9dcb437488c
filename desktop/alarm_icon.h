#pragma once

class QIcon;

// The same shape in red, shaded by the original's brightness, at each of the icon's sizes.
QIcon RedTinted(const QIcon& icon);
