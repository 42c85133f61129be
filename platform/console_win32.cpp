#include <cstdlib>

#include "platform/console.h"

namespace kadrel::platform {

void waitForKeyPress() {
    // Only the program's own prompt shows: pause's text goes to nul.
    std::system("pause > nul");
}

}  // namespace kadrel::platform
