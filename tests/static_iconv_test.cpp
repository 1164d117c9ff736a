// The built-in conversions of krelvon-scan-static against the C library's
// own, call by call: on every input, with every output room, both must stop
// at the same place with the same result, the same errno and the same bytes.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cli/static_iconv.h"

namespace {

struct Result {
  std::size_t returned;
  int error;
  std::size_t consumed;
  std::string produced;
  bool operator==(const Result& o) const {
    return returned == o.returned && error == o.error && consumed == o.consumed && produced == o.produced;
  }
};

std::ostream& operator<<(std::ostream& os, const Result& r) {
  os << "returned " << static_cast<long long>(r.returned) << " errno " << r.error << " consumed " << r.consumed
     << " produced";
  for (unsigned char c : r.produced) os << ' ' << std::hex << static_cast<int>(c) << std::dec;
  return os;
}

template <typename Convert>
Result run(Convert convert, const std::string& input, std::size_t room) {
  std::string in = input;
  std::vector<char> out(room + 1);
  char* ip = in.data();
  char* op = out.data();
  std::size_t in_left = in.size(), out_left = room;
  errno = 0;
  const std::size_t r = convert(&ip, &in_left, &op, &out_left);
  const int error = r == static_cast<std::size_t>(-1) ? errno : 0;
  return {r, error, in.size() - in_left, std::string(out.data(), static_cast<std::size_t>(op - out.data()))};
}

std::string utf16le(std::initializer_list<unsigned> units) {
  std::string s;
  for (unsigned u : units) s += static_cast<char>(u & 0xFF), s += static_cast<char>(u >> 8);
  return s;
}

// Inputs that reach every rule: each length of sequence, its bounds,
// overlong forms, surrogates, code points past U+10FFFF, cut-off sequences,
// then random bytes.
std::vector<std::string> inputs_for(const char* from) {
  std::vector<std::string> v = {"", "RunOnce", "wormsvc", "caf\xc3\xa9", "\xc3\xbf", "\xc4\x80", "\xe2\x82\xac",
                                "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xc0\xaf", "\xc1\xbf",
                                "\xe0\x80\xaf", "\xe0\x9f\xbf", "\xed\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",
                                "\xf0\x8f\xbf\xbf", "\xf5\x80\x80\x80", "\xff", "\x80", "ab\xc3", "ab\xe2\x82",
                                "ab\xf0\x9f\x98", "\xe0\x80", "\xed\xa0", "\xf4\x90", "\xf0\x80", "a\xc3z",
                                std::string("a\0b", 3)};
  for (const auto& s : {utf16le({'a', 'b'}), utf16le({0xE9, 0x20AC}), utf16le({0xD83D, 0xDE00}),
                        utf16le({0xD800}), utf16le({0xDC00, 'a'}), utf16le({0xD800, 'a'}), utf16le({0xDBFF, 0xDFFF}),
                        utf16le({0xFFFF, 0xFEFF}), utf16le({'x'}) + "y", utf16le({0})})
    v.push_back(s);
  std::mt19937 random(24);
  const bool utf16 = std::string(from) == "UTF-16LE";
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    const int n = static_cast<int>(random() % 9);
    for (int j = 0; j < n; ++j) {
      // Mostly bytes that begin or continue sequences, so that valid ones
      // come up as well as broken ones.
      const unsigned pick = random() % 8;
      unsigned b = random() % 256;
      if (utf16 && j % 2 == 1 && pick < 3) b = 0xD8 + random() % 8;
      else if (!utf16 && pick < 4) b = 0x80 + random() % 64;
      else if (!utf16 && pick < 6) b = 0xC2 + random() % 51;
      s += static_cast<char>(b);
    }
    v.push_back(s);
  }
  return v;
}

TEST(StaticIconv, EveryConversionOfLibhivexStopsWhereTheCLibrarysDoes) {
  const char* pairs[][2] = {{"LATIN1", "UTF-8"}, {"UTF-8", "LATIN1"}, {"UTF-16LE", "UTF-8"}, {"UTF-8", "UTF-16LE"}};
  for (const auto& pair : pairs) {
    const char *to = pair[0], *from = pair[1];
    iconv_t theirs = iconv_open(to, from);
    ASSERT_NE(theirs, reinterpret_cast<iconv_t>(-1)) << from << " to " << to;
    void* ours = krelvon_iconv_open(to, from);
    ASSERT_NE(ours, reinterpret_cast<void*>(-1)) << from << " to " << to;
    EXPECT_TRUE(krelvon_iconv_owns(ours));
    int compared = 0;
    for (const std::string& input : inputs_for(from)) {
      // Every room from none to more than enough: each E2BIG stop too.
      for (std::size_t room = 0; room <= 4 * input.size() + 4; ++room) {
        iconv(theirs, nullptr, nullptr, nullptr, nullptr);
        const Result expected = run([&](char** i, std::size_t* il, char** o, std::size_t* ol) {
          return iconv(theirs, i, il, o, ol);
        }, input, room);
        const Result got = run([&](char** i, std::size_t* il, char** o, std::size_t* ol) {
          return krelvon_iconv(ours, i, il, o, ol);
        }, input, room);
        ASSERT_EQ(got, expected) << from << " to " << to << ", " << Result{0, 0, 0, input} << " (the input), room " << room;
        ++compared;
      }
    }
    EXPECT_GT(compared, 10000);
    EXPECT_EQ(krelvon_iconv_close(ours), 0);
    iconv_close(theirs);
  }
}

TEST(StaticIconv, OnlyItsOwnPairsAreOpenedAndClosed) {
  errno = 0;
  EXPECT_EQ(krelvon_iconv_open("UTF-16BE", "UTF-8"), reinterpret_cast<void*>(-1));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(krelvon_iconv_open("UTF-8", "CP1252"), reinterpret_cast<void*>(-1));
  EXPECT_NE(krelvon_iconv_open("utf-8", "latin1"), reinterpret_cast<void*>(-1));
  int other = 0;
  EXPECT_FALSE(krelvon_iconv_owns(&other));
  EXPECT_EQ(krelvon_iconv_close(&other), -1);
  // A reset changes nothing and succeeds.
  EXPECT_EQ(krelvon_iconv(krelvon_iconv_open("UTF-8", "UTF-16LE"), nullptr, nullptr, nullptr, nullptr), 0u);
}

}  // namespace
