#include <cstdlib>

#include "language.h"

namespace tavorin {

Language languageFromEnvironment() {
    return languageOf(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

}  // namespace tavorin
