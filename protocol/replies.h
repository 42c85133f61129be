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

}  // namespace kadrel::replies
