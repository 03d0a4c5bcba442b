// The rules the tool and the record helper share: which serial numbers may be
// recorded or listed, how text from outside is shown, how record lines read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_text.h"
#include "installed_record.h"

using namespace velorin;

TEST(SharedRulesTest, SerialNumbers) {
  struct Case {
    std::string serial;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"AB12CD34", true},
      {"%s%n$(id)`id`;|&*'\" ", true},  // shell and format characters are data
      {"N\xc2\xa0"
       "1\xc3\xa9",
       true},          // other 8-bit text stays
      {"\xc2", true},  // a lone lead byte is no C1 control
      {std::string(kMaxSerialBytes, 'M'), true},
      {std::string(kMaxSerialBytes + 1, 'M'), false},
      {"", false},
      {"X1\nX2", false},  // would pose as a second line
      {"A1\r", false},
      {std::string("A\0B", 3), false},
      {"X\t3", false},
      {"\x1b[31m", false},
      {"A\x7f", false},
      {"A\xc2\x80", false},
      {"A\xc2\x9f"
       "B",
       false},
  };
  for (const Case& c : cases) EXPECT_EQ(SerialProblem(c.serial) == nullptr, c.accepted) << Showable(c.serial);
  EXPECT_STREQ(SerialProblem(std::string(kMaxSerialBytes + 1, 'M')),
               ("serial number rejected: longer than " + std::to_string(kMaxSerialBytes) + " bytes").c_str());
}

TEST(SharedRulesTest, TextIsShownNotSent) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Desk lamp", "Desk lamp"},
      {"\x1b]0;owned\x07", "?]0;owned?"},
      {"A\nB\rC\tD", "A?B?C?D"},
      {"\x7f\xc2\x9b"
       "2J",
       "??2J"},                                  // C2 9B is one character, one '?'
      {"\xc2\xa0\xe9\xc2", "\xc2\xa0\xe9\xc2"},  // NBSP, Latin-1, a lone lead byte stay
      {std::string("\0", 1), "?"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(Showable(text), shown) << shown;
}

TEST(SharedRulesTest, RecordLinesInOrder) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {}},
      {"B2\nA1\n", {"B2", "A1"}},
      {"B2\n\n\nA1\nB2", {"B2", "A1", "B2"}},  // duplicates kept, no final newline needed
      {"\n\n", {}},
      {"%s%n\n", {"%s%n"}},
      {"LONGSERIALNUMBER1\n", {"LONGSERIALNUMBER1"}},
      // Edited on another system: one CR per line is not part of the serial number.
      {"A1\r\nB2\r\n\r\nC3\r", {"A1", "B2", "C3"}},
      {"A1\r\r\n", {"A1\r"}},
  };
  for (const auto& [content, lines] : cases) EXPECT_EQ(RecordLines(content), lines) << Showable(content);
}
