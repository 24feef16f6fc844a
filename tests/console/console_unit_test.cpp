// The console's pieces that need no running data provider: the splitting of a command buffer,
// the console messages and which message explains which result. (Command words are matched
// whole and upper-cased: see the datagram and take-action tests.)
#include <gtest/gtest.h>

#include <string>

#include "include/qdvp_console.h"

namespace {

TEST(ConsoleBuffer, SplitsAtBlanksTabsAndLineEnds) {
  const struct {
    const char *buffer;
    const char *word;
    const char *operand;
  } cases[] = {
      {"LIST", "LIST", nullptr},
      {"list\n", "list", nullptr},
      {"  IMPORT   app.mdl  ", "IMPORT", "app.mdl"},
      {"SHOW\tapp extra words", "SHOW", "app"},
      {"DELETE app\r\n", "DELETE", "app"},
      {"", nullptr, nullptr},
      {" \t\r\n ", nullptr, nullptr},
  };
  for (const auto &c : cases) {
    std::string buffer = c.buffer;
    char *operand = reinterpret_cast<char *>(1);
    char *word = QDVP_SplitConsoleBuffer(buffer.data(), &operand);
    EXPECT_STREQ(word, c.word) << c.buffer;
    EXPECT_STREQ(operand, c.operand) << c.buffer;
  }
}

TEST(ConsoleMessages, InsertsFillDollarAndHash) {
  char text[300];
  // '$' first: the insert goes in front and the '$' becomes a blank.
  EXPECT_STREQ(QDVP_FormatConsoleMessage(3, "app.mdl", text, sizeof(text)),
               "app.mdl is not defined (neither an application nor a metafile of one).");
  // '#': the insert is written from there on.
  EXPECT_STREQ(QDVP_FormatConsoleMessage(20, "app.mdl", text, sizeof(text)),
               "Application imported: app.mdl");
  // Without an insert the text is unchanged.
  EXPECT_STREQ(QDVP_FormatConsoleMessage(20, nullptr, text, sizeof(text)),
               "Application imported: #");
  EXPECT_STREQ(QDVP_FormatConsoleMessage(99, nullptr, text, sizeof(text)), "Console message 99");
  std::string longInsert(400, 'x');
  EXPECT_LE(strlen(QDVP_FormatConsoleMessage(20, longInsert.c_str(), text, sizeof(text))), 256u);
}

TEST(ConsoleMessages, EachResultHasItsMessage) {
  const struct {
    int command, rc, message;
  } cases[] = {
      {QDVP_CMD_DELETE, 0, 17},   {QDVP_CMD_DELETE, 3, 13},   {QDVP_CMD_DELETE, 5, 14},
      {QDVP_CMD_IMPORT, 0, 20},   {QDVP_CMD_IMPORT, 4, 21},   {QDVP_CMD_IMPORT, 5, 34},
      {QDVP_CMD_IMPORT, 6, 35},   {QDVP_CMD_IMPORT, 8, 43},   {QDVP_CMD_IMPORT, 12, 50},
      {QDVP_CMD_IMPORT, 1, 22},   {QDVP_CMD_REFRESH, 3, 23},  {QDVP_CMD_REFRESH, 0, 27},
      {QDVP_CMD_REFRESH, 9, 24},  {QDVP_CMD_TRAPCNFG, 0, 45}, {QDVP_CMD_TRAPCNFG, 10, 44},
      {QDVP_CMD_TRAPCNFG, 11, 47}, {QDVP_CMD_TRAPCNFG, 1, 46}, {QDVP_CMD_LOADCOMM, 10, 51},
      {QDVP_CMD_LOADCOMM, 11, 53}, {QDVP_CMD_LOADNAME, 0, 55}, {QDVP_CMD_LOADLIST, 60, 60},
      {QDVP_CMD_LOADLIST, 10, 57}, {QDVP_CMD_LIST, 0, 26},     {QDVP_CMD_LIST, 2, 2},
      {QDVP_CMD_SHOW, 0, 31},     {QDVP_CMD_CHECK, 4, 25},    {QDVP_CMD_CHECK, 3, 3},
      {QDVP_CMD_CHECK, 13, 15},   {QDVP_CMD_SHUTDOWN, 0, 19}, {QDVP_CMD_COUNT, 1, 1},
      {QDVP_CMD_LIST, 7, 7},      {QDVP_CMD_PING, 9, 9},      {QDVP_CMD_LIST, 99, 11},
      {QDVP_CMD_LIST, 42, 16},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(QDVP_ConsoleResultMessage(c.command, c.rc), c.message)
        << "command " << c.command << " result " << c.rc;
  }
}

}  // namespace
