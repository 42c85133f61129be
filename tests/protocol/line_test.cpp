// Line assembly and command normalisation.
#include <gtest/gtest.h>

#include "protocol/control_connection.h"

namespace kadrel {
namespace {

TEST(TakeLine, CutsOneLineWithoutItsLineEnd) {
    struct Case {
        std::string buffer, line, rest;
    };
    const Case cases[] = {
        {"USER a\r\nPASS b\r\n", "USER a", "PASS b\r\n"},
        {"NOOP\n", "NOOP", ""},
        {"\r\nNOOP\r\n", "", "NOOP\r\n"},  // a bare CR LF is consumed silently
        {"\nx", "", "x"},
        {"NOOP\r\r\n", "NOOP\r", ""},      // only one CR goes
        {"incomplete", "", "incomplete"},  // no LF: buffer unchanged
        {"", "", ""},
        {"a\rb\r\n", "a\rb", ""},
        {std::string("x\0y\r\n", 5), std::string("x\0y", 3), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        std::string buffer = c.buffer;
        EXPECT_EQ(takeLine(buffer), c.line);
        EXPECT_EQ(buffer, c.rest);
    }
}

TEST(ConsumePrefix, StripsAnExactPrefixOnly) {
    std::string text = "USER alice";
    EXPECT_FALSE(consumePrefix("user ", text));
    EXPECT_FALSE(consumePrefix("USER alice and more", text));
    EXPECT_EQ(text, "USER alice");
    EXPECT_TRUE(consumePrefix("USER ", text));
    EXPECT_EQ(text, "alice");
    std::string pass = "PASS";
    EXPECT_TRUE(consumePrefix("PASS", pass));
    EXPECT_EQ(pass, "");
}

TEST(Normalize, UpperCasesTheCommandWordOfLinesWithASpace) {
    const std::pair<std::string, std::string> cases[] = {
        {"user Alice", "USER Alice"},
        {"quit", "quit"},  // no space: unchanged
        {"rEtR a b c", "RETR a b c"},
        {"cwd  x", "CWD  x"},
        {" pass", " pass"},              // the word before the first space is empty
        {"\xe9t\xe9 x", "\xe9T\xe9 x"},  // only a to z change
    };
    for (const auto& [line, normalized] : cases) EXPECT_EQ(normalizeCommandLine(line), normalized);
}

}  // namespace
}  // namespace kadrel
