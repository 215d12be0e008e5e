#pragma once

#include <QString>

// The application directory followed by "/": every image path is this followed
// by "Image/...". Set by the main window before any view is built.
extern QString applicationLocation;
