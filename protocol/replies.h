// Fixed reply texts, exactly as they go on the wire.
#pragma once

namespace kadrel::replies {

inline constexpr char kGreeting[] = "220 Service ready for new user.\r\n";
inline constexpr char kPasswordRequired[] = "331 Password required.\r\n";
inline constexpr char kNotLoggedIn[] = "530 Not logged in.\r\n";
inline constexpr char kLoginIncorrect[] = "530 Login incorrect.\r\n";
inline constexpr char kLoggedIn[] = "230 User logged in, proceed.\r\n";
inline constexpr char kGoodbye[] = "221 Goodbye.\r\n";
inline constexpr char kLineTooLong[] = "500 Command to long.\r\n";
inline constexpr char kNotImplemented[] =
    "502 Command not implemented or not implemented for that argument.\r\n";

inline constexpr char kDirectoryChanged[] = "250 Directory successfully changed.\r\n";
inline constexpr char kDirectoryNotChanged[] = "550 Failed to change directory.\r\n";
inline constexpr char kTypeI[] = "200 Type set to I.\r\n";
inline constexpr char kTypeA[] = "200 Type set to A.\r\n";
inline constexpr char kStructureF[] = "200 Structure set to F.\r\n";
inline constexpr char kModeS[] = "200 Mode set to S.\r\n";
inline constexpr char kParameterNotImplemented[] =
    "504 Command not implemented for that parameter.\r\n";
inline constexpr char kSystem[] = "215 UNIX Type: L8\r\n";
inline constexpr char kNoop[] = "200 NOOP ok.\r\n";

inline constexpr char kUsePasvFirst[] = "425 Use PASV first.\r\n";
inline constexpr char kCannotOpenFile[] = "550 Failed to open file.\r\n";
inline constexpr char kOpeningListing[] = "150 Opening ASCII mode data connection for listing.\r\n";
inline constexpr char kNoDataConnection[] = "425 Unable to open data connection.\r\n";
inline constexpr char kNotAFolder[] = "426 Not a folder or not accessible.\r\n";
inline constexpr char kWriteFailed[] = "426 Failure writing network stream.\r\n";
inline constexpr char kReadFailed[] = "426 Failed to read from file.\r\n";
inline constexpr char kListingSent[] = "226 Transfer complete.\r\n";
inline constexpr char kFileSent[] = "226 File send OK.\r\n";

}  // namespace kadrel::replies
