// Commands of a logged-in client answered on the control connection alone.
// The dispatcher has stripped the command word; what is left of
// conn.commandLine is the argument, exactly as sent. Each sends one reply.
#pragma once

#include "protocol/control_connection.h"

namespace kadrel {

Outcome printWorkingDirectory(ControlConnection& conn);    // PWD, XPWD
Outcome changeWorkingDirectory(ControlConnection& conn);   // CWD <path>
Outcome changeToParentDirectory(ControlConnection& conn);  // CDUP
Outcome setRepresentationType(ControlConnection& conn);    // TYPE <I|A>
Outcome setFileStructure(ControlConnection& conn);         // STRU <F>
Outcome setTransferMode(ControlConnection& conn);          // MODE <S>
Outcome reportSystem(ControlConnection& conn);             // SYST
Outcome noOperation(ControlConnection& conn);              // NOOP
Outcome quit(ControlConnection& conn);                     // QUIT, before and after login
Outcome notImplemented(ControlConnection& conn);           // everything else

}  // namespace kadrel
