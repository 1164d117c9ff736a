// The two parsers of the performance process table on crafted bytes, and
// the registry walk on whatever the system under test gives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "system/perf_data.h"
#include "system/version.h"
#include "tools/perf_builder.h"

namespace s = krelvon::samples;
using krelvon::CounterIndexes;
using krelvon::PerfTable;

namespace {

constexpr long kIdTitle = 784;

CounterIndexes parse_names(const s::Bytes& b) {
  CounterIndexes out;
  krelvon::parse_counter_names(reinterpret_cast<const char*>(b.data()), b.size(), &out);
  return out;
}

PerfTable& parse_block(const s::Bytes& b, long id_title = kIdTitle) {
  static PerfTable table;
  krelvon::parse_perf_block(b.data(), b.size(), id_title, &table);
  return table;
}

s::PerfLayout spec_of(std::vector<s::PerfInstance> instances) {
  s::PerfLayout layout;
  layout.instances = std::move(instances);
  return layout;
}

TEST(CounterNames, FindsBothIndexesWithoutRegardToCase) {
  const CounterIndexes out = parse_names(
      s::counter_names({{"1", "1847"}, {"230", "Process"}, {"232", "% Processor Time"}, {"784", "ID Process"}}));
  EXPECT_TRUE(out.have_process);
  EXPECT_STREQ(out.process_index, "230");
  EXPECT_TRUE(out.have_id_process);
  EXPECT_EQ(out.id_process_index, 784);
}

TEST(CounterNames, ALaterMatchReplacesAnEarlierOne) {
  const CounterIndexes out = parse_names(s::counter_names(
      {{"230", "process"}, {"784", "id process"}, {"9230", "PROCESS"}, {"9784", "Id Process"}}));
  EXPECT_STREQ(out.process_index, "9230");
  EXPECT_EQ(out.id_process_index, 9784);
}

TEST(CounterNames, DigitsAreTheRunEndingThePrecedingString) {
  const CounterIndexes out = parse_names(s::counter_names({{"x12", "process"}, {"7a", "id process"}}));
  EXPECT_STREQ(out.process_index, "12");
  EXPECT_EQ(out.id_process_index, 0);  // no digits at the end: atol of nothing
}

TEST(CounterNames, EitherNameMissingOrTheListCutShortFindsNothing) {
  const s::Bytes only_process = s::counter_names({{"230", "process"}, {"784", "processes"}});
  CounterIndexes out;
  EXPECT_FALSE(krelvon::parse_counter_names(reinterpret_cast<const char*>(only_process.data()),
                                            only_process.size(), &out));
  EXPECT_TRUE(out.have_process);
  EXPECT_FALSE(out.have_id_process);
  // "id process" beyond the closing empty string is not part of the list.
  s::Bytes after_end = s::counter_names({{"230", "process"}});
  const s::Bytes tail = s::counter_names({{"784", "id process"}});
  after_end.insert(after_end.end(), tail.begin(), tail.end());
  EXPECT_FALSE(parse_names(after_end).have_id_process);
  // Without the final terminator the last string does not count.
  s::Bytes cut = s::counter_names({{"230", "process"}, {"784", "id process"}});
  cut.resize(cut.size() - 2);
  EXPECT_FALSE(parse_names(cut).have_id_process);
  EXPECT_FALSE(parse_names({}).have_process);
}

TEST(PerfBlock, FillsNamesAndIdsInInstanceOrder) {
  const PerfTable& t = parse_block(s::perf_block(spec_of({{u"Idle", 0}, {u"wormy2", 44}, {u"explorer", 0x1234}})));
  ASSERT_EQ(t.count, 3);
  EXPECT_STREQ(t.slots[0].name, "Idle");
  EXPECT_EQ(t.slots[0].id, 0xFFFFFFFEu);  // id 0
  EXPECT_STREQ(t.slots[1].name, "wormy2");
  EXPECT_EQ(t.slots[1].id, 44u);
  EXPECT_STREQ(t.slots[2].name, "explorer");
  EXPECT_EQ(t.slots[2].id, 0x1234u);
  EXPECT_EQ(t.slots[3].id, 0u);
  EXPECT_STREQ(t.slots[3].name, "");
}

TEST(PerfBlock, SixteenCharactersFitSeventeenLeaveTheSlotEmpty) {
  const PerfTable& t = parse_block(
      s::perf_block(spec_of({{u"abcdefghijklmnop", 8}, {u"abcdefghijklmnopq", 12}})));
  ASSERT_EQ(t.count, 2);
  EXPECT_STREQ(t.slots[0].name, "abcdefghijklmnop");
  EXPECT_STREQ(t.slots[1].name, "");
  EXPECT_EQ(t.slots[1].id, 12u);
}

TEST(PerfBlock, ANameThatCannotBeConvertedIsUnknown) {
  // A lone surrogate has no narrow form; so has a name the 260-byte output
  // could not hold.
  const std::u16string lone(1, static_cast<char16_t>(0xD800));
  const PerfTable& t = parse_block(s::perf_block(spec_of({{u"a" + lone + u"b", 5}, {std::u16string(300, u'x'), 6}})));
  ASSERT_EQ(t.count, 2);
#ifdef _WIN32
  // The ANSI code page of the system under test may give a default
  // character for a lone surrogate instead of failing.
  if (std::strcmp(t.slots[0].name, "unknown") != 0) {
    std::printf("note: this system converts a lone surrogate to \"%s\"\n", t.slots[0].name);
  } else {
    EXPECT_STREQ(t.slots[0].name, "unknown");
  }
#else
  EXPECT_STREQ(t.slots[0].name, "unknown");
#endif
  EXPECT_STREQ(t.slots[1].name, "unknown");
  EXPECT_EQ(t.slots[1].id, 6u);
}

TEST(PerfBlock, AtMost254SlotsAreFilled) {
  std::vector<s::PerfInstance> many;
  for (std::uint32_t i = 0; i < 300; ++i) many.push_back({u"p" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)), 1000 + i});
  const PerfTable& t = parse_block(s::perf_block(spec_of(many)));
  EXPECT_EQ(t.count, 254);
  EXPECT_EQ(t.slots[253].id, 1253u);
  EXPECT_EQ(t.slots[254].id, 0u);  // the 255th slot stays zeroed
  std::vector<s::PerfInstance> exact(many.begin(), many.begin() + 254);
  EXPECT_EQ(parse_block(s::perf_block(spec_of(exact))).count, 254);
  std::vector<s::PerfInstance> under(many.begin(), many.begin() + 253);
  EXPECT_EQ(parse_block(s::perf_block(spec_of(under))).count, 253);
}

TEST(PerfBlock, WrongSignatureMissingCounterOrNegativeCountGiveAnEmptyTable) {
  s::PerfLayout wrong = spec_of({{u"a", 1}});
  wrong.signature[3] = u'X';
  EXPECT_EQ(parse_block(s::perf_block(wrong)).count, 0);
  s::PerfLayout narrow = spec_of({{u"a", 1}});
  s::Bytes narrow_sig = s::perf_block(narrow);
  narrow_sig[1] = 'E';  // "PE.." as bytes: not four UTF-16 code units
  EXPECT_EQ(parse_block(narrow_sig).count, 0);
  EXPECT_EQ(parse_block(s::perf_block(spec_of({{u"a", 1}})), 785).count, 0);
  s::PerfLayout none = spec_of({{u"a", 1}});
  none.num_instances = -1;
  EXPECT_EQ(parse_block(s::perf_block(none)).count, 0);
  EXPECT_EQ(parse_block(s::Bytes{}).count, 0);
  EXPECT_EQ(parse_block(s::perf_block(spec_of({{u"a", 1}}))).count, 1);
}

TEST(PerfBlock, TheFirstCounterWithTheTitleIsUsed) {
  s::PerfLayout layout = spec_of({{u"a", 77}});
  layout.counter_titles = {6, 784, 784};
  layout.id_counter = 1;
  EXPECT_EQ(parse_block(s::perf_block(layout)).slots[0].id, 77u);
  layout.id_counter = 2;
  EXPECT_EQ(parse_block(s::perf_block(layout)).slots[0].id, 0x1001u);
}

TEST(PerfBlock, InstancesPastTheBlockEndTheFilling) {
  s::Bytes b = s::perf_block(spec_of({{u"one", 1}, {u"two", 2}, {u"three", 3}}));
  // Every cut of the block keeps the filled slots a prefix of the whole.
  for (std::size_t cut = 0; cut <= b.size(); ++cut) {
    const PerfTable& t = parse_block(s::Bytes(b.begin(), b.begin() + static_cast<long>(cut)));
    ASSERT_LE(t.count, 3);
    for (int i = 0; i < t.count; ++i) EXPECT_EQ(t.slots[i].id, static_cast<std::uint32_t>(i + 1));
  }
  s::PerfLayout more = spec_of({{u"one", 1}});
  more.num_instances = 200;  // claims more instances than the block holds
  EXPECT_EQ(parse_block(s::perf_block(more)).count, 1);
}

TEST(PerfWalk, WhatTheSystemGivesIsHandled) {
  static PerfTable table;
  krelvon::read_perf_process_table(&table);
  ASSERT_GE(table.count, 0);
  ASSERT_LE(table.count, 254);
  if (krelvon::platform_line() != krelvon::kPlatformNT) {
    EXPECT_EQ(table.count, 0);  // no registry here
    return;
  }
  std::printf("performance process table: %d slots\n", table.count);
  for (int i = 0; i < table.count && i < 8; ++i)
    std::printf("  %-16s %u\n", table.slots[i].name, table.slots[i].id);
  for (int i = 0; i < table.count; ++i) EXPECT_LE(std::strlen(table.slots[i].name), 16u);
}

}  // namespace
