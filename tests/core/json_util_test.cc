#include "core/json_util.h"

#include <gtest/gtest.h>

#include <string>

namespace vy {

namespace {

struct Parsed {
  explicit Parsed(const std::string& text) : str(text.data(), static_cast<int>(text.size())) {
    ok = ParseJsonInsitu(str, doc);
  }
  JsonStr str;
  rapidjson::Document doc;
  bool ok = false;
};

TEST(JsonStr, EmptyInputHoldsAnEmptyObject) {
  JsonStr s;
  EXPECT_STREQ("{}", s.data());
  EXPECT_EQ(3u, s.capacity());
  s.SetData("abc", 0);
  EXPECT_STREQ("{}", s.data());
  s.SetData("abcdef", 3);
  EXPECT_STREQ("abc", s.data());
  EXPECT_EQ(4u, s.capacity());
}

TEST(JsonReaders, ReadMembersOfTheirType) {
  Parsed p(R"({"s":"text","i":-7,"l":1733500000123,"b":false,"n":null})");
  ASSERT_TRUE(p.ok);
  EXPECT_STREQ("text", GetJsonStr(p.doc, "s"));
  EXPECT_EQ(-7, GetJsonInt(p.doc, "i"));
  EXPECT_EQ(1733500000123, GetJsonInt64(p.doc, "l"));
  EXPECT_EQ(-7, GetJsonInt64(p.doc, "i"));
  EXPECT_TRUE(HasJsonBool(p.doc, "b"));
}

TEST(JsonReaders, AbsentOrIllTypedMembersReadAsEmptyOrMinusOne) {
  Parsed p(R"({"s":5,"i":"5","f":1.5,"b":0,"big":5000000000,"huge":18446744073709551615})");
  ASSERT_TRUE(p.ok);
  EXPECT_STREQ("", GetJsonStr(p.doc, "s"));
  EXPECT_STREQ("", GetJsonStr(p.doc, "absent"));
  EXPECT_EQ(-1, GetJsonInt(p.doc, "i"));
  EXPECT_EQ(-1, GetJsonInt(p.doc, "f"));
  EXPECT_EQ(-1, GetJsonInt(p.doc, "big"));
  EXPECT_EQ(-1, GetJsonInt(p.doc, "absent"));
  EXPECT_EQ(5000000000, GetJsonInt64(p.doc, "big"));
  EXPECT_EQ(-1, GetJsonInt64(p.doc, "huge"));
  EXPECT_EQ(-1, GetJsonInt64(p.doc, "f"));
  EXPECT_FALSE(HasJsonBool(p.doc, "b"));
  EXPECT_FALSE(HasJsonBool(p.doc, "absent"));
}

TEST(JsonReaders, UnsignedValueAboveInt32MaxWraps) {
  Parsed p(R"({"a":2147483648,"b":4294967295,"c":4294967296})");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(INT32_MIN, GetJsonInt(p.doc, "a"));
  EXPECT_EQ(-1, GetJsonInt(p.doc, "b"));
  EXPECT_EQ(-1, GetJsonInt(p.doc, "c"));
}

TEST(JsonReaders, NonObjectsReadAsObjectsWithoutMembers) {
  for (const char* text : {"[1,2]", "\"Cmd\"", "42", "true", "null"}) {
    Parsed p(text);
    ASSERT_TRUE(p.ok) << text;
    EXPECT_STREQ("", GetJsonStr(p.doc, "Cmd")) << text;
    EXPECT_EQ(-1, GetJsonInt(p.doc, "Code")) << text;
    EXPECT_EQ(-1, GetJsonInt64(p.doc, "MsgId")) << text;
    EXPECT_FALSE(HasJsonBool(p.doc, "Encrypt")) << text;
  }
}

TEST(JsonParsing, SyntaxErrorsAndTrailingBytesFail) {
  EXPECT_FALSE(Parsed("{\"a\":").ok);
  EXPECT_FALSE(Parsed("{} x").ok);
  EXPECT_TRUE(Parsed("{}").ok);
  EXPECT_TRUE(Parsed("").ok);  // an empty text is held as "{}"
}

TEST(JsonParsing, NestingIsLimited) {
  std::string ok = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
  EXPECT_TRUE(Parsed(ok).ok);
  std::string deep = std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']');
  EXPECT_FALSE(Parsed(deep).ok);
  std::string hostile = std::string(1000000, '[');
  EXPECT_FALSE(Parsed(hostile).ok);
}

TEST(JsonParsing, BracketsInsideStringsDoNotCount) {
  std::string text = "{\"a\":\"" + std::string(500, '[') + "\\\"" + std::string(500, '{') + "\"}";
  Parsed p(text);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(1001u, std::string(GetJsonStr(p.doc, "a")).size());
}

}  // namespace

}  // namespace vy
