// The system's own words for a Windows error code, in the user's language:
// the reason the program gives wherever a Windows call failed. Windows
// only (win32_error.cpp).
#pragma once

#include <QString>

namespace tavorin {

QString win32ErrorText(unsigned long error);

}  // namespace tavorin
