#include "rtc_base/string_builder.h"

#include <stdlib.h>

#include <atomic>
#include <new>
#include <string>

#include "gtest/gtest.h"

// Counts heap allocations made by this test binary, to show that SimpleStringBuilder never
// allocates.
namespace {
std::atomic<int> g_allocations{0};
}  // namespace

void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace rtc {
namespace {

TEST(SimpleStringBuilderTest, TruncatesTextAndKeepsItTerminated) {
  char buf[4];
  SimpleStringBuilder sb(buf);
  sb << "hello";
  EXPECT_STREQ("hel", sb.str());
  EXPECT_EQ(3u, sb.size());
  sb << 'x';
  EXPECT_STREQ("hel", sb.str());
  sb << std::string("more") << 42 << 1.5;
  EXPECT_STREQ("hel", sb.str());
  EXPECT_EQ(3u, sb.size());
}

TEST(SimpleStringBuilderTest, OneByteArrayHoldsOnlyTheTerminator) {
  char buf[1] = {'z'};
  SimpleStringBuilder sb(buf);
  EXPECT_EQ('\0', buf[0]);
  sb << "abc" << 'd' << 7;
  sb.AppendFormat("%s", "long text");
  EXPECT_EQ(0u, sb.size());
  EXPECT_EQ('\0', buf[0]);
}

TEST(SimpleStringBuilderTest, AppendFormatOverflowSetsSizeToArraySizeLessOne) {
  char buf[10];
  SimpleStringBuilder sb(buf);
  sb << "ab";
  sb.AppendFormat("%d-%s", 12345, "xyzxyz");
  EXPECT_EQ(9u, sb.size());
  EXPECT_STREQ("ab12345-x", sb.str());
  // Further formatting into a full array changes nothing.
  sb.AppendFormat("%d", 1);
  EXPECT_EQ(9u, sb.size());
  EXPECT_STREQ("ab12345-x", sb.str());
}

TEST(SimpleStringBuilderTest, FormatsNumbersLikePrintf) {
  char buf[128];
  SimpleStringBuilder sb(buf);
  sb << -5 << ' ' << 7u << ' ' << -9L << ' ' << -10LL << ' ' << 11UL << ' '
     << 18446744073709551615ULL << ' ' << 0.25f << ' ' << 1e20 << ' ' << 2.5L;
  EXPECT_STREQ("-5 7 -9 -10 11 18446744073709551615 0.25 1e+20 2.5", sb.str());
}

TEST(SimpleStringBuilderTest, NeverAllocates) {
  char buf[64];
  const int before = g_allocations.load();
  SimpleStringBuilder sb(buf);
  sb << "address " << 127 << '.' << 0u << '.' << 0L << '.' << 1ULL << ':' << 443.0;
  sb.AppendFormat(" %s %d", "port", 8080);
  sb.Append("xyz", 2);
  EXPECT_EQ(before, g_allocations.load());
  EXPECT_STREQ("address 127.0.0.1:443 port 8080xy", sb.str());
}

TEST(SimpleStringBuilderTest, AppendCopiesAtMostTheGivenLength) {
  char buf[16];
  SimpleStringBuilder sb(buf);
  sb.Append("abcdef", 3).Append("", 0).Append("gh", 2);
  EXPECT_STREQ("abcgh", sb.str());
}

TEST(StringBuilderTest, AppendsTextCharactersAndNumbers) {
  StringBuilder sb("x=");
  sb << 1 << ',' << -2L << ',' << 3ULL << ',' << 0.5 << ',' << 1.25L << ' ' << "c"
     << std::string("d") << std::string_view("e") << absl::string_view("f");
  EXPECT_EQ("x=1,-2,3,0.5,1.25 cdef", sb.str());
  EXPECT_EQ(sb.str().size(), sb.size());
  EXPECT_EQ("x=1,-2,3,0.5,1.25 cdef", sb.Release());
  EXPECT_EQ("", sb.str());
}

TEST(StringBuilderTest, AppendFormatHandlesLongOutputWithManyArguments) {
  // Longer than any internal buffer, with enough arguments that reusing a consumed va_list
  // would read garbage.
  const std::string chunk(1500, 'q');
  StringBuilder sb;
  sb << "start:";
  sb.AppendFormat("%s|%d|%s|%lld|%s|%u|%c|%s", chunk.c_str(), -1, "mid", 1234567890123LL,
                  chunk.c_str(), 42u, 'z', "end");
  const std::string expected = "start:" + chunk + "|-1|mid|1234567890123|" + chunk + "|42|z|end";
  EXPECT_EQ(expected, sb.str());
  EXPECT_EQ(expected.size(), sb.size());
}

TEST(StringBuilderTest, AppendFormatWithEmptyResultChangesNothing) {
  StringBuilder sb("abc");
  sb.AppendFormat("%s", "");
  EXPECT_EQ("abc", sb.str());
  sb.Clear();
  EXPECT_EQ(0u, sb.size());
}

TEST(StringBuilderTest, NullTextAppendsMarker) {
  const char* none = nullptr;
  StringBuilder sb;
  sb << none;
  char buf[16];
  SimpleStringBuilder ssb(buf);
  ssb << none;
  EXPECT_EQ("(null)", sb.str());
  EXPECT_STREQ("(null)", ssb.str());
}

}  // namespace
}  // namespace rtc
