// What port discovery asks of the platform: the friendly names of the
// ports present now, in the order the system lists them. One source file per
// platform implements it (portget_linux.cpp here).
#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "portget.h"

namespace tavorin::PortGet {

// Every name reads "description (kernel name) (COMn)". `pathOf` gives the
// device path the link library opens for a COM number (empty: none).
std::vector<QString> presentPorts(const Sources& sources,
                                  const std::function<QString(int com)>& pathOf);

}  // namespace tavorin::PortGet
