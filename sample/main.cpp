// kadrel-sample: shows how a host drives the kadrel library. Adds the
// accounts named on the command line (groups of login, password, share
// directory, writable switch), runs a server on ports 21 and 20 until a key
// is pressed, then stops and removes it.
#include <cstring>
#include <iostream>

#include "kadrel.h"
#include "platform/console.h"

namespace {

constexpr int kGroupSize = 4;

}  // namespace

int main(int argc, char** argv) {
    std::cout << std::endl;
    std::cout << "This is a primitive UI, demonstrating the usage of kadrel.dll." << std::endl;
    std::cout << std::endl;

    KadrelServer server = newServerObj();

    int arguments = argc - 1;
    if (arguments == 0) {
        std::cout << std::endl;
        std::cout << "NOTE: NO USER HAS BEEN ADDED TO CONFIGURATION!\n";
        std::cout << "See .bat for further information.\n\n";
    }
    int groups = arguments / kGroupSize;
    for (int group = 0; group < groups; ++group) {
        char** account = argv + 1 + group * kGroupSize;
        // Only the one-character text "1" makes an account writable.
        bool writable = std::strcmp(account[3], "1") == 0;
        addUser(server, account[0], account[1], account[2], writable);
        std::cout << "-- Added user -- \n";
        std::cout << " login:    " << account[0] << std::endl;
        std::cout << " pass:     " << account[1] << std::endl;
        std::cout << " share:    " << account[2] << std::endl;
        std::cout << " writable: " << (writable ? 1 : 0) << std::endl;
    }
    if (int rest = arguments % kGroupSize; rest != 0) {
        std::cerr << "kadrel-sample: ignoring the last " << rest
                  << " argument(s): each account needs four (login, password, share, "
                     "writable)\n";
    }

    setPorts(server, 21, 20);
    start(server);
    std::cout << "Press Return to close server.\n" << std::flush;
    kadrel::platform::waitForKeyPress();
    stop(server);
    removeServerObj(server);
    return 0;
}
