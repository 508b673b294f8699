#include "core/rand_str.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>

namespace {

TEST(GenRandStr, GivesTheAskedNumberOfLettersAndDigits) {
  for (unsigned n : {0u, 1u, 10u, 16u, 1000u}) {
    std::string s = "old";
    ASSERT_TRUE(GenRandStr(s, n));
    ASSERT_EQ(n, s.size());
    for (char c : s) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << int(c);
  }
}

TEST(GenRandStr, CallsInTheSameSecondDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string s;
    ASSERT_TRUE(GenRandStr(s, 10));
    seen.insert(s);
  }
  EXPECT_EQ(200u, seen.size());
}

TEST(GenRandStr, CoversTheWholeAlphabet) {
  std::string s;
  ASSERT_TRUE(GenRandStr(s, 20000));
  std::set<char> chars(s.begin(), s.end());
  EXPECT_EQ(62u, chars.size());
}

TEST(CreateRandomString, YieldsOnlyCharactersOfItsTable) {
  ASSERT_EQ(64u, std::strlen(kRandomStringTable));
  std::string s;
  ASSERT_TRUE(CreateRandomString(s, 5000));
  ASSERT_EQ(5000u, s.size());
  for (char c : s) EXPECT_NE(nullptr, std::strchr(kRandomStringTable, c));
  std::set<char> chars(s.begin(), s.end());
  EXPECT_EQ(62u, chars.size());  // the table repeats '0' three times
}

}  // namespace
